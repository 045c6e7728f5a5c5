// A quicksort over any indexable collection, reached only through callbacks (used to sort the
// tag cache's lists). Not stable. Every index passed to the callbacks is absolute.
#pragma once

typedef void* (*quicksort_get_t)(void* collection, int index);
typedef void (*quicksort_swap_t)(void* collection, int a, int b);
// < 0 when element a belongs before element b.
typedef int (*quicksort_compare_t)(void* collection, void* a, void* b);

// Sorts `count` elements from `first` on in place, ascending by `compare`. The pivot is drawn from
// the process-wide rand() state, which this module never seeds.
void quicksort(void* collection, quicksort_get_t get, int first, int count, quicksort_swap_t swap,
               quicksort_compare_t compare);
