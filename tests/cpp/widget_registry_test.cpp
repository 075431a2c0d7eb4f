// Widget kind names and identity keys: building them and reading them back.
#include "base/widget_registry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace velto::base {
namespace {

TEST(WidgetRegistryTest, NameIsTheKindNameWhateverTheState) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::pair<WidgetRegistry, std::string>> cases = {
      {{widget::ClickButton{}}, "ClickButton"},
      {{widget::ToggleButton{false}}, "ToggleButton"},
      {{widget::ToggleButton{true}}, "ToggleButton"},
      {{widget::ConfirmButton{}}, "ConfirmButton"},
      {{widget::PressButton{true}}, "PressButton"},
      {{widget::DirectionalButton{255}}, "DirectionalButton"},
      {{widget::Joystick{{-1.0f, nan}, -std::numeric_limits<float>::infinity()}}, "Joystick"},
  };
  for (const auto& [value, name] : cases) {
    EXPECT_EQ(value.name(), name);
    EXPECT_EQ(kWidgetKindNames[static_cast<std::size_t>(value.kind())], name);
  }
}

struct ActionIdentityCase {
  std::string name;
  uint8_t id;
  std::string kind_name;
  std::string key;
};

void PrintTo(const ActionIdentityCase& c, std::ostream* os) { *os << c.name; }

class ActionIdentityTest : public testing::TestWithParam<ActionIdentityCase> {};

TEST_P(ActionIdentityTest, FirstWordUnderscoreId) {
  const auto& c = GetParam();
  EXPECT_EQ(action_identity(c.id, c.kind_name), c.key);
}

const std::vector<ActionIdentityCase> kActionIdentityCases = {
    {"PlainName", 3, "Joystick", "Joystick_3"},
    {"SurroundedBySpaces", 3, "  Joystick  ", "Joystick_3"},
    {"FurtherWordsDropped", 0, "ClickButton and more", "ClickButton_0"},
    {"TabsAndNewlines", 9, "\t\nJoystick\r\nx", "Joystick_9"},
    {"VerticalTabAndFormFeed", 9, "\v\fJoystick\fx", "Joystick_9"},
    {"EmptyName", 17, "", "_17"},
    {"AllWhiteSpace", 0, " \t\xc2\xa0 ", "_0"},
    {"CaseKept", 3, "joystick", "joystick_3"},
    {"NotAKindStillGivesKey", 255, "Slider", "Slider_255"},
    {"NoBreakSpace", 3, "\xc2\xa0Joy\xc2\xa0stick", "Joy_3"},
    {"NextLine", 3, "Joy\xc2\x85stick", "Joy_3"},
    {"OghamSpace", 3, "Joy\xe1\x9a\x80stick", "Joy_3"},
    {"EnQuadToHairSpace", 3, "\xe2\x80\x80Joy\xe2\x80\x8astick", "Joy_3"},
    {"LineAndParagraphSeparators", 3, "\xe2\x80\xa8Joy\xe2\x80\xa9", "Joy_3"},
    {"NarrowAndMathSpaces", 3, "\xe2\x80\xafJoy\xe2\x81\x9fstick", "Joy_3"},
    {"IdeographicSpace", 3, "\xe3\x80\x80Joy\xe3\x80\x80stick", "Joy_3"},
    // Not in the White_Space set: zero width space and the Mongolian vowel separator.
    {"ZeroWidthSpaceKept", 3, "Joy\xe2\x80\x8bstick", "Joy\xe2\x80\x8bstick_3"},
    {"MongolianVowelSeparatorKept", 3, "Joy\xe1\xa0\x8estick", "Joy\xe1\xa0\x8estick_3"},
    {"NonAsciiWord", 42, " Jöystick ", "Jöystick_42"},
};

INSTANTIATE_TEST_SUITE_P(Identity, ActionIdentityTest, testing::ValuesIn(kActionIdentityCases),
                         [](const auto& info) { return info.param.name; });

struct ExtractCase {
  std::string name;
  std::string text;
  bool ok;
  uint8_t id;
  std::string kind_name;  // or the error message
};

void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }

class ExtractIdentityTest : public testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractIdentityTest, ReadsIdAndKindName) {
  const auto& c = GetParam();
  auto result = extract_identity(c.text);
  ASSERT_EQ(result.ok(), c.ok) << (result.ok() ? "" : result.error().message());
  if (c.ok) {
    EXPECT_EQ(result.value().first, c.id);
    EXPECT_EQ(result.value().second, c.kind_name);
  } else {
    EXPECT_EQ(result.error().message(), c.kind_name);
  }
}

const std::vector<ExtractCase> kExtractCases = {
    {"Plain", "Joystick_3", true, 3, "Joystick"},
    {"LeadingZero", "Joystick_03", true, 3, "Joystick"},
    {"ManyLeadingZeros", "Joystick_0000000000255", true, 255, "Joystick"},
    {"PlusSign", "Joystick_+3", true, 3, "Joystick"},
    {"FurtherPiecesIgnored", "Joystick_3_left", true, 3, "Joystick"},
    {"EmptyKindName", "_7", true, 7, ""},
    {"Zero", "ClickButton_0", true, 0, "ClickButton"},
    {"Max", "ClickButton_255", true, 255, "ClickButton"},
    {"NoUnderscore", "Joystick", false, 0, "no `_` in function name `Joystick`"},
    {"EmptyText", "", false, 0, "no `_` in function name ``"},
    {"EmptyId", "Joystick_", false, 0, "`` is not a widget id from 0 to 255"},
    {"EmptyIdBeforeMore", "Joystick__3", false, 0, "`` is not a widget id from 0 to 255"},
    {"Letters", "Joystick_x", false, 0, "`x` is not a widget id from 0 to 255"},
    {"Above255", "Joystick_256", false, 0, "`256` is not a widget id from 0 to 255"},
    {"HugeNumber", "Joystick_99999999999999999999", false, 0,
     "`99999999999999999999` is not a widget id from 0 to 255"},
    {"UnderscoreInKind", "Joy_stick_3", false, 0, "`stick` is not a widget id from 0 to 255"},
    {"MinusSign", "Joystick_-3", false, 0, "`-3` is not a widget id from 0 to 255"},
    {"PlusAlone", "Joystick_+", false, 0, "`+` is not a widget id from 0 to 255"},
    {"TwoPlusSigns", "Joystick_++3", false, 0, "`++3` is not a widget id from 0 to 255"},
    {"WhiteSpace", "Joystick_ 3", false, 0, "` 3` is not a widget id from 0 to 255"},
    {"TrailingLetter", "Joystick_3x", false, 0, "`3x` is not a widget id from 0 to 255"},
};

INSTANTIATE_TEST_SUITE_P(Identity, ExtractIdentityTest, testing::ValuesIn(kExtractCases),
                         [](const auto& info) { return info.param.name; });

TEST(IdentityTest, ExtractReadsBackEveryKey) {
  for (int id = 0; id < 256; ++id) {
    for (std::string_view kind : kWidgetKindNames) {
      const std::string key = action_identity(static_cast<uint8_t>(id), kind);
      auto back = extract_identity(key);
      ASSERT_TRUE(back.ok()) << key;
      EXPECT_EQ(back.value().first, id);
      EXPECT_EQ(back.value().second, kind);
    }
  }
}

}  // namespace
}  // namespace velto::base
