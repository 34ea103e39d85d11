// The signature's strict DER reader on hand-made encodings, one row per rule.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "list_signature.h"

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string text;
  for (const int byte : bytes) text += static_cast<char>(byte);
  return text;
}

// An INTEGER of these content bytes.
std::string Integer(const std::string& content) {
  return Bytes({0x02, static_cast<int>(content.size())}) + content;
}

std::string Sequence(const std::string& content) {
  return Bytes({0x30, static_cast<int>(content.size())}) + content;
}

// 32 bytes: the first one given, the rest 0x11.
std::string Number(int first, std::size_t size = 32) {
  return static_cast<char>(first) + std::string(size - 1, '\x11');
}

struct Case {
  const char* name;
  std::string der;
  bool valid;
  std::string r, s;  // when valid: the two 32-byte numbers
};

const std::string kOne = Bytes({0x01});
const std::string kPaddedOne = std::string(31, '\0') + kOne;

const std::vector<Case> kCases = {
    {"two full numbers", Sequence(Integer(Number(0x7F)) + Integer(Number(0x01))), true,
     Number(0x7F), Number(0x01)},
    {"high bit after the required 0x00",
     Sequence(Integer(Bytes({0x00}) + Number(0x80)) + Integer(Bytes({0x00}) + Number(0xFF))),
     true, Number(0x80), Number(0xFF)},
    {"short numbers padded on the left", Sequence(Integer(kOne) + Integer(Bytes({0x00, 0x80}))),
     true, kPaddedOne, std::string(31, '\0') + Bytes({0x80})},
    {"largest encoding, 72 bytes",
     Sequence(Integer(Bytes({0x00}) + Number(0xFF)) + Integer(Bytes({0x00}) + Number(0xFF))),
     true, Number(0xFF), Number(0xFF)},
    {"empty", "", false, "", ""},
    {"not a sequence", Bytes({0x31, 0x06}) + Integer(kOne) + Integer(kOne), false, "", ""},
    {"sequence length one short", Bytes({0x30, 0x05}) + Integer(kOne) + Integer(kOne), false, "",
     ""},
    {"sequence length one long", Bytes({0x30, 0x07}) + Integer(kOne) + Integer(kOne), false, "",
     ""},
    {"trailing byte", Sequence(Integer(kOne) + Integer(kOne)) + Bytes({0x00}), false, "", ""},
    {"third integer inside", Sequence(Integer(kOne) + Integer(kOne) + Integer(kOne)), false, "",
     ""},
    {"one integer", Sequence(Integer(kOne)), false, "", ""},
    {"long-form sequence length", Bytes({0x30, 0x81, 0x06}) + Integer(kOne) + Integer(kOne),
     false, "", ""},
    {"long-form integer length",
     Sequence(Bytes({0x02, 0x81, 0x01, 0x01}) + Integer(kOne)), false, "", ""},
    {"indefinite length", Bytes({0x30, 0x80}) + Integer(kOne) + Integer(kOne) + Bytes({0, 0}),
     false, "", ""},
    {"integer of no bytes", Sequence(Integer("") + Integer(kOne)), false, "", ""},
    {"zero", Sequence(Integer(Bytes({0x00})) + Integer(kOne)), false, "", ""},
    {"negative", Sequence(Integer(kOne) + Integer(Number(0x80))), false, "", ""},
    {"needless leading 0x00", Sequence(Integer(Bytes({0x00, 0x7F})) + Integer(kOne)), false, "",
     ""},
    {"33 bytes after the 0x00",
     Sequence(Integer(Bytes({0x00}) + Number(0x80, 33)) + Integer(kOne)), false, "", ""},
    {"33 bytes without high bit", Sequence(Integer(Number(0x01, 33)) + Integer(kOne)), false, "",
     ""},
    {"other tag for s", Sequence(Integer(kOne) + Bytes({0x03, 0x01, 0x01})), false, "", ""},
    {"integer runs past the end", Sequence(Integer(kOne) + Bytes({0x02, 0x05, 0x01})), false, "",
     ""},
};

TEST(ListSignatureTest, ReadsEachRow) {
  for (const Case& row : kCases) {
    SCOPED_TRACE(row.name);
    EcdsaP256Signature rs{};
    ASSERT_EQ(ReadDerSignature(row.der, rs), row.valid);
    if (!row.valid) continue;
    EXPECT_EQ(std::string(rs.begin(), rs.begin() + 32), row.r);
    EXPECT_EQ(std::string(rs.begin() + 32, rs.end()), row.s);
  }
}

}  // namespace
