#pragma once
// Shared body of the notation fuzz targets. The input is taken both as raw code-page bytes and
// as UTF-8 typed by the operator (converted the way the boxes convert it). Checks:
//  - the reader never writes past the buffer it is given (the buffers are exactly sized heap
//    blocks, so AddressSanitizer sees a single stray byte);
//  - a reader that runs out of room (the send box's 4,095 stop, the find box's 255 bytes, or any
//    other size) has read exactly the first values of an unbounded read.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "text/code_page.h"
#include "tools/byte_notation.h"

namespace quarlex::fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

template <class Reader>
void ReadOne(Reader read, std::string_view text) {
  // Unbounded: at most one value per input byte.
  const size_t big = text.size() + 1;
  auto all = std::make_unique<uint8_t[]>(big);
  const size_t n = read(text, std::span(all.get(), big));
  Check(n <= text.size());

  for (size_t room : {size_t{0}, size_t{1}, size_t{2}, n / 2, n > 0 ? n - 1 : 0, size_t{4095}, size_t{255}}) {
    auto some = room ? std::make_unique<uint8_t[]>(room) : nullptr;
    const size_t m = read(text, std::span(some.get(), room));
    Check(m <= room);
    Check(m == (n < room ? n : room));
    for (size_t i = 0; i < m; ++i) Check(some[i] == all[i]);
  }
}

template <class Reader>
void Run(Reader read, const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  ReadOne(read, raw);
  ReadOne(read, CodePageFromUtf8(raw));
}

}  // namespace quarlex::fuzz
