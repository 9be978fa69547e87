// SPDX-License-Identifier: BSD-3-Clause
//
// The working state of one run: nine 32-byte-aligned arrays that carry
// products, candidate lists, radii and angles from one iteration to the next.
#include <cstdlib>

#include "common.h"

using namespace tavrine;

bool init_fast_var(fast_var *fv, int n, int /*d8*/, int k8) {
    const std::size_t kk = at(k8, k8), nk = at(n, k8), n1 = static_cast<std::size_t>(n);
    fv->D_CC = static_cast<float *>(aligned_floats(kk));
    fv->COS_OCiCj = static_cast<float *>(aligned_floats(kk));
    fv->SIN_OCiCj = static_cast<float *>(aligned_floats(kk));
    fv->COS_OCX = static_cast<float *>(aligned_floats(n1));
    fv->SIN_OCX = static_cast<float *>(aligned_floats(n1));
    fv->r2 = static_cast<float *>(aligned_floats(n1));
    fv->D_NC = static_cast<float *>(aligned_floats(nk));
    fv->mask = static_cast<int32_t *>(aligned_floats(nk));
    fv->mask_count = static_cast<int32_t *>(aligned_floats(n1));
    if (fv->D_CC && fv->COS_OCiCj && fv->SIN_OCiCj && fv->COS_OCX && fv->SIN_OCX && fv->r2 &&
        fv->D_NC && fv->mask && fv->mask_count)
        return true;
    free_fast_var(fv);
    return false;
}

void free_fast_var(fast_var *fv) {
    std::free(fv->D_CC);
    std::free(fv->COS_OCiCj);
    std::free(fv->SIN_OCiCj);
    std::free(fv->COS_OCX);
    std::free(fv->SIN_OCX);
    std::free(fv->r2);
    std::free(fv->D_NC);
    std::free(fv->mask);
    std::free(fv->mask_count);
    *fv = fast_var{};
}
