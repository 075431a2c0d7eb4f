// The shared wire-format vectors (tests/vectors/wire.txt): each frame decodes to the widget
// the file lists for it, each reply encodes to the bytes the file lists for it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/frame.h"
#include "frame_bytes.h"
#include "wire_vectors.h"

namespace velto::base {
namespace {

using wire_vectors::trim;
using wire_vectors::Vector;

std::vector<Vector> of_kind(const std::string& kind) {
  std::vector<Vector> out;
  for (auto& v : wire_vectors::load())
    if (v.kind == kind) out.push_back(v);
  return out;
}

std::string name_of(const testing::TestParamInfo<Vector>& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

class FrameVectorTest : public testing::TestWithParam<Vector> {};

TEST_P(FrameVectorTest, DecodesToItsListedWidget) {
  const auto& v = GetParam();
  auto parsed = Frame::parse(v.bytes.data(), v.bytes.size());
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(server::io::testing::describe(parsed.value().frame), v.meaning);
  EXPECT_EQ(parsed.value().used, v.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Vectors, FrameVectorTest, testing::ValuesIn(of_kind("frame")), name_of);

class ReplyVectorTest : public testing::TestWithParam<Vector> {};

TEST_P(ReplyVectorTest, EncodesToItsListedBytes) {
  const auto& v = GetParam();
  std::istringstream in(v.meaning);
  int id = 0;
  std::string status, kind, rest;
  in >> id >> status >> kind;
  std::getline(in, rest);
  rest = trim(rest);
  ResultFrame reply;
  reply.id = static_cast<uint8_t>(id);
  bool known = false;
  for (std::size_t i = 0; i < kServerStatusNames.size(); ++i) {
    if (kServerStatusNames[i] == status) {
      reply.status = static_cast<ServerStatus>(i);
      known = true;
    }
  }
  ASSERT_TRUE(known) << status;
  if (kind == "confirm") {
    reply.data = result::ConfirmResult{rest == "true"};
  } else {
    ASSERT_EQ(kind, "error");
    reply.data = result::ErrorResult{rest};
  }
  const std::vector<char> bytes = reply.bufferize();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), v.bytes);
}

INSTANTIATE_TEST_SUITE_P(Vectors, ReplyVectorTest, testing::ValuesIn(of_kind("reply")), name_of);

TEST(VectorFileTest, HoldsEveryKindOfFrameAndReply) {
  std::string kinds;
  for (const auto& v : of_kind("frame")) kinds += v.meaning.substr(0, v.meaning.find('_')) + " ";
  for (const char* kind : {"ClickButton", "ToggleButton", "ConfirmButton", "PressButton",
                           "DirectionalButton", "Joystick"})
    EXPECT_NE(kinds.find(std::string(kind) + " "), std::string::npos) << kind;
  EXPECT_GE(of_kind("reply").size(), 2u);
}

}  // namespace
}  // namespace velto::base
