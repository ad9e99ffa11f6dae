#include "Digest.h"

#include <xxhash.h>

#include <memory>

namespace Facepadctl {
namespace {
struct FreeState {
  void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

void AddLengthPrefixed(XXH3_state_t* state, std::string_view text) {
  unsigned char length[8];
  std::uint64_t size = text.size();
  for (unsigned char& byte : length) {
    byte = static_cast<unsigned char>(size & 0xFF);
    size >>= 8;
  }
  XXH3_64bits_update(state, length, sizeof length);
  XXH3_64bits_update(state, text.data(), text.size());
}
}  // namespace

Digest FieldsDigest(const Person& person) {
  const std::unique_ptr<XXH3_state_t, FreeState> state(XXH3_createState());
  if (!state) throw std::bad_alloc();
  XXH3_64bits_reset(state.get());
  for (const std::string& key : kPersonKeys) {
    const auto found = person.find(key);
    AddLengthPrefixed(state.get(), found == person.end() ? std::string_view() : found->second);
  }
  return static_cast<Digest>(XXH3_64bits_digest(state.get()));
}

Digest BytesDigest(std::string_view bytes) {
  return static_cast<Digest>(XXH3_64bits(bytes.data(), bytes.size()));
}

}  // namespace Facepadctl
