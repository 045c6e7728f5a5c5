#include "foundation/quicksort.h"

#include <cstdlib>

namespace {

struct Sorter {
    void* collection;
    quicksort_get_t get;
    quicksort_swap_t swap;
    quicksort_compare_t compare;

    int cmp(int a, int b) { return compare(collection, get(collection, a), get(collection, b)); }

    void insertionSort(int first, int count) {
        for (int k = 1; k < count; ++k)
            for (int j = first + k; j > first && cmp(j - 1, j) >= 0; --j) swap(collection, j - 1, j);
    }

    // Three-way partition of (first, count) around the element at relative index k: a run of keys
    // equal to the pivot is settled in one pass, so columns full of equal values sort in n log n.
    // On return [first, first+lt) is below the pivot and [first+gt, first+count) above it.
    void partition(int first, int count, int k, int& lt, int& gt) {
        int last = count - 1;
        swap(collection, first + last, first + k); // the pivot waits at the end and never moves meanwhile
        void* pivot = get(collection, first + last);
        lt = 0;
        int i = 0;
        gt = last; // [gt, last) holds the elements above the pivot
        while (i < gt) {
            int c = compare(collection, get(collection, first + i), pivot);
            if (c < 0) {
                if (i != lt) swap(collection, first + lt, first + i);
                ++lt;
                ++i;
            } else if (c > 0) {
                --gt;
                if (i != gt) swap(collection, first + i, first + gt);
            } else {
                ++i;
            }
        }
        // Put the pivot behind the equal run: [lt, gt] equal, above from gt + 1.
        if (gt != last) swap(collection, first + gt, first + last);
        ++gt;
    }

    void sort(int first, int count) {
        while (count > 31) {
            int k = rand() % count;
            int lt, gt;
            partition(first, count, k, lt, gt);
            int leftCount = lt, rightFirst = first + gt, rightCount = count - gt;
            // Recurse into the smaller side and loop on the larger, so the depth stays logarithmic.
            if (leftCount < rightCount) {
                sort(first, leftCount);
                first = rightFirst;
                count = rightCount;
            } else {
                sort(rightFirst, rightCount);
                count = leftCount;
            }
        }
        if (count > 1) insertionSort(first, count);
    }
};

} // namespace

void quicksort(void* collection, quicksort_get_t get, int first, int count, quicksort_swap_t swap,
               quicksort_compare_t compare) {
    if (count < 2 || !get || !swap || !compare) return;
    Sorter{collection, get, swap, compare}.sort(first, count);
}
