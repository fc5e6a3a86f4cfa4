#include "bench/fuzz/notation_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quarlex::fuzz::Run(quarlex::ReadDecimalNotation, data, size);
  return 0;
}
