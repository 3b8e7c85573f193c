// Make codes to characters and the modifier state they leave behind. Each case starts and ends with every key
// released, since the state is kept for the whole process.
#include <gtest/gtest.h>

#include "native/KeyboardHandler.h"

namespace {

struct Record {
  USHORT makeCode;
  USHORT flags;   // KEY_BREAK, KEY_E0, KEY_E1
  int character;  // of the event, -1 when not checked
  ULONG modifiers;
};

struct TranslationCase {
  const char* name;
  std::vector<Record> records;
};

class Translation : public testing::TestWithParam<TranslationCase> {};

TEST_P(Translation, GivesTheCharacterAndModifiersOfEachRecord) {
  for (const Record& record : GetParam().records) {
    KEYBOARD_INPUT_DATA input{};
    input.MakeCode = record.makeCode;
    input.Flags = record.flags;
    SKeyEvent event{};
    TranslateKeyboardInput(input, event);
    EXPECT_EQ(record.makeCode, event.MakeCode);
    EXPECT_EQ((record.flags & KEY_BREAK) == 0, event.KeyDown);
    if (record.character >= 0) {
      EXPECT_EQ(record.character, event.Character) << "make code " << record.makeCode;
    }
    EXPECT_EQ(record.modifiers, event.Modifiers) << "make code " << record.makeCode;
  }
}

constexpr USHORT kUp = KEY_BREAK;

INSTANTIATE_TEST_SUITE_P(
    Keys, Translation,
    testing::Values(
        TranslationCase{"LetterPressAndRelease", {{0x1E, 0, 'a', 0}, {0x1E, kUp, 'a', 0}}},
        TranslationCase{"ShiftGivesCapitalsAndSymbols",
                        {{0x2A, 0, 0, 0x10},
                         {0x1E, 0, 'A', 0x10},
                         {0x03, 0, '@', 0x10},
                         {0x35, 0, '?', 0x10},
                         {0x2A, kUp, 0, 0},
                         {0x03, 0, '2', 0}}},
        TranslationCase{"NumLockTogglesOnPressesOnly",
                        {{0x45, 0, 0, 0x20}, {0x45, kUp, 0, 0x20}, {0x45, 0, 0, 0}, {0x45, kUp, 0, 0}}},
        TranslationCase{"ExtendedKeysMarkTheEventAndKeepTheirCharacter",
                        {{0x1C, KEY_E0, '\r', 0x100}, {0x35, KEY_E0, '/', 0x100}, {0x4B, KEY_E0, 0, 0x100}}},
        TranslationCase{"KeysWithoutCharacters",
                        {{0x01, 0, 0, 0}, {0x3B, 0, 0, 0}, {0x0F, 0, 0, 0}, {0x3A, 0, 0, 0}, {0x47, 0, 0, 0}}},
        TranslationCase{"KeypadOperatorsAndEditingKeys",
                        {{0x4A, 0, '-', 0},
                         {0x4E, 0, '+', 0},
                         {0x37, 0, '*', 0},
                         {0x39, 0, ' ', 0},
                         {0x0E, 0, '\b', 0},
                         {0x29, 0, '`', 0},
                         {0x2B, 0, '\\', 0},
                         {0x28, 0, '\'', 0}}}),
    [](const testing::TestParamInfo<TranslationCase>& info) { return std::string(info.param.name); });

}  // namespace
