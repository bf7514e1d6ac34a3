#include "lzh/lz_match_finder.h"

namespace {

void rebaseTable(uint32_t* table, size_t size, uint32_t delta) {
  for (size_t i = 0; i < size; ++i) table[i] = table[i] > delta ? table[i] - delta : 0;
}

}  // namespace

void HashChainFinder::rebase(uint32_t delta) {
  rebaseTable(head4_.get(), size_t{1} << HASH4_BITS, delta);
  rebaseTable(head3_.get(), size_t{1} << HASH3_BITS, delta);
  rebaseTable(prev_.get(), LZ_RING_SIZE, delta);
}

void BinaryTreeFinder::rebase(uint32_t delta) {
  rebaseTable(head4_.get(), size_t{1} << HASH4_BITS, delta);
  rebaseTable(head3_.get(), size_t{1} << HASH3_BITS, delta);
  rebaseTable(left_.get(), LZ_RING_SIZE, delta);
  rebaseTable(right_.get(), LZ_RING_SIZE, delta);
}
