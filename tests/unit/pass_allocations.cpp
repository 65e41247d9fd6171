// The unit test binary's operator new, which counts what the relay passes of the fixture allocate.
#include <cstdlib>
#include <new>

#include "tests/unit/relay_fixture.h"

void* operator new(std::size_t size) {
  orv::g_pass_allocations += orv::g_in_pass ? 1 : 0;
  if (void* allocated = std::malloc(size == 0 ? 1 : size)) return allocated;
  throw std::bad_alloc();
}
void operator delete(void* allocated) noexcept { std::free(allocated); }
void operator delete(void* allocated, std::size_t) noexcept { std::free(allocated); }
