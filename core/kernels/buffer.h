// SPDX-License-Identifier: BSD-3-Clause
//
// The core's one owning buffer: cache-line-aligned storage from aligned_floats,
// freed when the buffer goes. Internal; not installed.
#ifndef TAVRINE_BUFFER_H
#define TAVRINE_BUFFER_H

#include <cstdlib>
#include <memory>

#include "common.h"

namespace tavrine {

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using buffer = std::unique_ptr<T[], free_deleter>;

// count values of T, 32-byte aligned, with room for one more 8-lane vector
// past the end (a masked tail may be read whole); false when memory is short.
template <typename T>
bool take(buffer<T> &b, std::size_t count) {
    b.reset(static_cast<T *>(aligned_floats((count * sizeof(T) + 3) / 4 + 8)));
    return b != nullptr;
}

}  // namespace tavrine

#endif
