#include "Base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace Facepadctl {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every 12 bits of input as their two characters: three bytes are written
// with two look-ups, where one a character would take four.
using PairTable = std::array<std::array<char, 2>, 4096>;
const PairTable& Pairs() {
  static const PairTable table = [] {
    PairTable pairs{};
    for (std::size_t bits = 0; bits < pairs.size(); ++bits) {
      pairs[bits] = {kAlphabet[bits >> 6], kAlphabet[bits & 63]};
    }
    return pairs;
  }();
  return table;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  const PairTable& pairs = Pairs();
  // Sized once and written through a pointer: every add encodes a photo.
  std::string text(bytes.size() / 3 * 4, '\0');
  char* out = text.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16 |
                                static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                                static_cast<std::uint8_t>(bytes[i + 2]);
    std::memcpy(out, pairs[group >> 12].data(), 2);
    std::memcpy(out + 2, pairs[group & 0xFFF].data(), 2);
    out += 4;
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    text += kAlphabet[group >> 18 & 63];
    text += kAlphabet[group >> 12 & 63];
    text += rest == 2 ? kAlphabet[group >> 6 & 63] : '=';
    text += '=';
  }
  return text;
}

}  // namespace Facepadctl
