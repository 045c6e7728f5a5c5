#include "skin/SkinStateInfo.h"

#include "foundation/Picture.h"

SkinObjectStateInfo::~SkinObjectStateInfo() {
    delete picture;
}
