// Memory that hardware is still using (the buffer of a pending transfer): freeing a pool block
// that contains such a range is reported to the verifier (Check::FreeWhileInUse).
#pragma once

#include <cstddef>

namespace kernel {

void mark_in_use(const void* address, std::size_t length);
void unmark_in_use(const void* address);

}  // namespace kernel
