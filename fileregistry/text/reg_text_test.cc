#include "fileregistry/text/reg_text.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace fileregistry {
namespace {

const std::string kKey = "Software\\Test";
const std::string kStore = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n";

struct FormCase {
  RegValue value;
  std::string line;        // as written
  std::string name = "v";  // looked up in upper case
};

TEST(RegText, EveryValueFormIsWrittenAndReadBack) {
  const std::string hundred(100, '\xab');
  std::string wrapped = "\"v\"=hex:";
  for (int i = 0; i < 100; ++i) {
    if (i == 22 || (i > 22 && (i - 22) % 24 == 0)) wrapped += "\\\n  ";
    wrapped += i + 1 < 100 ? "ab," : "ab";
  }
  const FormCase cases[] = {
      {{1, "SPX,TCPIP"}, "\"v\"=\"SPX,TCPIP\""},
      {{1, ""}, "\"v\"=\"\""},
      {{1, "a\\b\"c\nd\re"}, "\"v\"=\"a\\\\b\\\"c\\nd\\re\""},
      {{1, "caf\xe9"}, "\"v\"=\"caf\xe9\""},
      {{1, std::string("a\0b", 3)}, "\"v\"=hex(1):61,00,62"},
      {{1, "tab\t"}, "\"v\"=hex(1):74,61,62,09"},
      {{1, std::string("abc\0", 4)}, "\"v\"=hex(1):61,62,63,00"},
      {{4, std::string("\x2a\0\0\x80", 4)}, "\"v\"=dword:8000002a"},
      {{4, "\x01\x02"}, "\"v\"=hex(4):01,02"},
      {{3, ""}, "\"v\"=hex:"},
      {{3, hundred}, wrapped},
      {{7, std::string("a\0\0", 3)}, "\"v\"=hex(7):61,00,00"},
      {{11, std::string(8, '\xff')}, "\"v\"=hex(b):ff,ff,ff,ff,ff,ff,ff,ff"},
      {{0x12345678, "x"}, "\"v\"=hex(12345678):78"},
      // Names are escaped; the default value is at.
      {{1, "d"}, "@=\"d\"", ""},
      {{1, "e"}, "\"q\\\"\\\\n\"=\"e\"", "q\"\\n"},
  };
  for (const FormCase& c : cases) {
    RegText store;
    ASSERT_TRUE(store.Parse(kStore));
    std::string text = store.WithValue(kKey, c.name, c.value), upper = c.name;
    EXPECT_EQ(kStore + c.line + "\n", text);
    ASSERT_TRUE(store.Parse(text)) << text;
    RegValue read;
    for (char& ch : upper) ch = static_cast<char>(toupper(ch));
    ASSERT_EQ(0, store.FindValue(kKey, upper, &read)) << text;
    EXPECT_EQ(c.value.type, read.type) << c.line;
    EXPECT_EQ(c.value.data, read.data) << c.line;
  }
}

struct Refusal {
  std::string text;
  size_t line;
  const char* reason;
};

TEST(RegText, WhatIsRefusedAndWhy) {
  using namespace std::string_literals;
  const std::string key = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
  const Refusal refused[] = {
      {"\xff\xfeR\0E\0G\0\n\0"s, 1, "not a registry file"},  // REGEDIT4 is never UTF-16
      {"\xff\xfeW\0"s, 1, "not a registry file"},
      {"\xff\xfeW"s, 1, "odd number of bytes in a UTF-16 file"},
      {"REGEDIT5\n", 1, "not a registry file"},
      {"\n\nREGEDIT4\n", 1, "not a registry file"},
      {"REGEDIT4\n\"v\"=\"outside any key\"\n", 2, "value outside a key"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\n", 2, "unclosed key name"},
      {"REGEDIT4\n[", 2, "unclosed key name"},
      {"REGEDIT4\n[HKEY_NOWHERE\\Software]\n", 2, "unknown root key"},
      {"Windows Registry Editor Version 5.00\n[HKEY_DYN_DATA\\A]\n", 2, "unknown root key"},
      {"REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software]\n", 3, "removal lines belong in import files"},
      {key + "\"v\"=-\n", 3, "removal lines belong in import files"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\\\Software]\n", 2, "bad key name"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\]\n", 2, "bad key name"},
      // Where the key path check reads sixteen bytes at a time: two
      // backslashes across the first block's end, a DEL in the second
      // block, a control byte at the text's end, read byte by byte.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Filler\\\\Key]\n\n\n\n\n\n\n\n\n\n\n\n\n", 2,
       "bad key name"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Filler\\Key\x7f 1]\n\n\n\n\n\n\n\n\n\n\n\n", 2,
       "bad key name"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Fill\x01]", 2, "bad key name"},
      {key + "\"v\"=\"bad \\q escape\"\n", 3, "unknown escape in a string"},
      {key + "\"v\"=\"unterminated\n", 3, "unterminated string"},
      {key + "\"v\"=dword:123456789\n", 3, "bad dword"},
      {key + "\"v\"=dword:\n", 3, "bad dword"},
      {key + "\"v\"=hex:0g\n", 3, "bad hex data"},
      {key + "\"v\"=hex:01,\\\n", 3, "bad hex data"},
      {key + "\"v\"=hex(x):01\n", 3, "bad hex type"},
      {key + "\"v\"=\"x\" trailing\n", 3, "text behind the value"},
      {key + "\"v\"\n", 3, "no \"=\" behind the value name"},
      {key + "\"v\"=str\n", 3, "unknown kind of value"},
      {key + "stray text\n", 3, "not a key, value or comment"},
      {key + "\"v\"=\"a\0b\"\n"s, 3, "zero byte"},
      {"REGEDIT4\n; a\0b\n"s, 2, "zero byte"},
  };
  for (const Refusal& r : refused) {
    RegText store;
    ParseError error;
    EXPECT_FALSE(store.Parse(r.text, &error)) << r.text;
    EXPECT_EQ(r.line, error.line) << r.text;
    EXPECT_STREQ(r.reason, error.reason) << r.text;
  }
}

// Each text is accepted, and read as `read` says: its keys of
// HKEY_LOCAL_MACHINE, and each value as name=type:bytes (in hex).
TEST(RegText, WhatIsAcceptedAndHowItIsRead) {
  const std::pair<const char*, const char*> accepted[] = {
      {"", ""},
      {"REGEDIT4", ""},
      {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"x\"\r\n", "[A] v=1:78"},
      {"REGEDIT4\n  ; indented comment\n[hkey_local_machine\\A]  \n@=\"x\"\t\n", "[A] =1:78"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"v\"=dword:2A\n", "[] v=4:2a000000"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A [1]]\n\"v\"=hex:1,02 , 3,\\\n\n", "[A [1]] v=3:010203"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(2):41,\\\n   42,\\\n   00\n",
       "[A] v=2:414200"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[HKEY_LOCAL_MACHINE\\A]\n", "[A] [A]"},
      // As Windows' importer takes them, by hand.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n  \"v\" \t= \"x\" ; why\n\"w\"=hex:01 ;c\n@ = "
       "dword:1;c\n",
       "[A] v=1:78 w=3:01 =4:01000000"},
      // Every hive of a full export; only HKEY_LOCAL_MACHINE is read.
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=\"x\"\n[HKEY_DYN_DATA\\B]\n[HKEY_USERS]\n", ""},
      {"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\.x]\r\n@=\"y\"\r\n", ""},
      {"\xef\xbb\xbfWindows Registry Editor Version 5.00\n[HKEY_CURRENT_CONFIG\\A]\n", ""},
  };
  for (const auto& [text, read] : accepted) {
    RegText store;
    ASSERT_TRUE(store.Parse(text)) << text;
    std::string seen;
    store.ForEach([&](std::string_view path, const std::string* name, const RegValue* value) {
      seen += seen.empty() ? "" : " ";
      if (name == nullptr) {
        seen += "[" + std::string(path) + "]";
        return;
      }
      seen += *name + "=" + std::to_string(value->type) + ":";
      for (unsigned char c : value->data) {
        char hex[3];
        snprintf(hex, sizeof(hex), "%02x", c);
        seen += hex;
      }
    });
    EXPECT_EQ(read, seen) << text;
  }
}

TEST(RegText, OtherHivesAreNeverTakenForLocalMachine) {
  RegText store;
  ASSERT_TRUE(store.Parse("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"cu\"\n"));
  std::string stored;
  RegValue value;
  EXPECT_EQ(2, store.FindKey("Software\\A", &stored));
  EXPECT_EQ(2, store.FindValue("Software\\A", "v", &value));
  EXPECT_EQ(
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"cu\"\n\n[HKEY_LOCAL_"
      "MACHINE\\Software\\A]\n",
      store.WithKey("Software\\A"));
}

// Version 5 stores: texts are Unicode, hex(1/2/7) are UTF-16LE with their
// zero, and an edit keeps the encoding, the byte-order mark and line ends.
TEST(RegText, UnicodeStoresInEachEncoding) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"Caf\xc3\xa9\"=\"\xe2\x82\xac \xf0\x9f\x98\x80\"\r\n"
      "\"Path\"=hex(2):25,00,50,00,00,00\r\n\"v\"=\"old\"\r\n";
  const std::string edited =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"Caf\xc3\xa9\"=\"\xe2\x82\xac \xf0\x9f\x98\x80\"\r\n"
      "\"Path\"=hex(2):25,00,50,00,00,00\r\n\"v\"=\"n\xc3\xa9w\"\r\n\"t\"=hex(1):09,00,00,00\r\n";
  const std::pair<std::string, std::string> files[] = {
      {text, edited},
      {"\xef\xbb\xbf" + text, "\xef\xbb\xbf" + edited},
      {"\xff\xfe" + Utf16Of(text), "\xff\xfe" + Utf16Of(edited)},
  };
  for (const auto& [before, after] : files) {
    RegText store;
    ASSERT_TRUE(store.Parse(before));
    EXPECT_TRUE(store.IsUnicode());
    RegValue value;
    ASSERT_EQ(0, store.FindValue("A", "caf\xc3\xa9", &value));
    EXPECT_EQ("\xe2\x82\xac \xf0\x9f\x98\x80", value.data);
    ASSERT_EQ(0, store.FindValue("A", "Path", &value));
    EXPECT_EQ((RegValue{2, "%P"}), value);

    RegValue tab{1, "\t"};
    EXPECT_TRUE(store.CanStore("t", tab));
    EXPECT_FALSE(store.CanStore("t", RegValue{1, "\xe9"}));
    EXPECT_FALSE(store.CanStore("\xe9", RegValue{1, "x"}));
    EXPECT_TRUE(store.CanStore("t", RegValue{3, "\xe9"})) << "binary data is not text";
    ASSERT_TRUE(store.Parse(store.WithValue("A", "v", RegValue{1, "n\xc3\xa9w"})));
    std::string bytes = store.WithValue("A", "t", tab);
    EXPECT_EQ(after, bytes);
    ASSERT_TRUE(store.Parse(bytes));
    ASSERT_EQ(0, store.FindValue("A", "t", &value));
    EXPECT_EQ(tab, value) << "what is written reads back the same";
  }
}

TEST(RegText, UnpairedSurrogatesSurviveAnEdit) {
  std::string file =
      "\xff\xfe" +
      Utf16Of("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"");
  file += std::string("\x00\xd8", 2) + Utf16Of("\"\n");
  RegText store;
  ASSERT_TRUE(store.Parse(file));
  std::string edited = store.WithValue("A", "y", RegValue{1, "z"});
  EXPECT_EQ(file + Utf16Of("\"y\"=\"z\"\n"), edited);
}

// Keys match without regard to case, and exist through keys below. Keys of
// paths longer than a block of the key path check, the last read byte by
// byte at the text's end, are found through the backslashes the index keeps
// of a path's first 32 bytes, and beyond them.
TEST(RegText, KeysFoundInAnyCaseAndThroughKeysBelow) {
  const char kShort[] = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\n";
  const char kLong[] =
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Vendor Name Long\\App]\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Classes\\V]\n";
  const struct {
    const char* text;
    const char* key;
    long status;
    const char* stored;
  } rows[] = {
      {kShort, "software\\vendor", 0, "SOFTWARE\\Vendor"},
      {kShort, "Software\\VENDOR\\app", 0, "SOFTWARE\\Vendor\\App"},
      {kShort, "Software\\Vend", 2, ""},
      {kShort, "Software\\Vendor\\App\\More", 2, ""},
      {kShort, "", 0, ""},
      {kLong, "software\\wow6432node", 0, "Software\\Wow6432Node"},
      {kLong, "software\\wow6432", 2, ""},
      {kLong, "SOFTWARE\\WOW6432NODE\\VENDOR NAME LONG", 0,
       "Software\\Wow6432Node\\Vendor Name Long"},
      {kLong, "Software\\Wow6432Node\\Vendor Name Lon", 2, ""},
      {kLong, "software\\classes", 0, "Software\\Classes"},
      {kLong, "software\\classes\\v", 0, "Software\\Classes\\V"},
  };
  for (const auto& row : rows) {
    RegText store;
    ASSERT_TRUE(store.Parse(row.text));
    std::string stored;
    EXPECT_EQ(row.status, store.FindKey(row.key, &stored)) << row.key;
    EXPECT_EQ(row.stored, row.status == 0 ? stored : "") << row.key;
  }
  RegText store;
  ASSERT_TRUE(store.Parse(kShort));
  EXPECT_EQ("SOFTWARE\\Vendor\\New Key", store.StoredCase("software\\VENDOR\\New Key"));
  EXPECT_EQ("Other\\Key", store.StoredCase("Other\\Key"));
}

TEST(RegText, EditsKeepEveryOtherByte) {
  const std::string before =
      "REGEDIT4\r\n\r\n; hand-written notes stay\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"first\"=hex:01,\\\r\n  02\r\n\"Target\"=\"old\" ; why\r\n"
      "\"last\"=dword:00000001\r\n; trailing note\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\B\\Child]\r\n\"x\"=\"y\"";
  RegText store;
  ASSERT_TRUE(store.Parse(before));
  EXPECT_EQ(
      "REGEDIT4\r\n\r\n; hand-written notes stay\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"first\"=hex:01,\\\r\n  02\r\n\"Target\"=\"new\" ; why\r\n"
      "\"last\"=dword:00000001\r\n; trailing note\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\B\\Child]\r\n\"x\"=\"y\"",
      store.WithValue("a", "TARGET", RegValue{1, "new"}));
  EXPECT_EQ("", store.WithValue("A", "target", RegValue{1, "old"})) << "no change, no rewrite";
  // A new value goes behind the key's last value; a key that exists only
  // through a key below it gets a section in front of that one.
  std::string added = store.WithValue("A", "added", RegValue{1, "v"});
  EXPECT_NE(std::string::npos, added.find("\"last\"=dword:00000001\r\n\"added\"=\"v\"\r\n;"));
  EXPECT_NE(
      std::string::npos,
      store.WithValue("b", "n", RegValue{1, "v"})
          .find(
              "\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"n\"=\"v\"\r\n\r\n[HKEY_LOCAL_MACHINE\\B\\Child]"));
  EXPECT_EQ(before + "\r\n\r\n[HKEY_LOCAL_MACHINE\\C]\r\n", store.WithKey("C"));
  EXPECT_EQ(before + "\r\n\"z\"=\"1\"\r\n", store.WithValue("B\\child", "z", RegValue{1, "1"}));
}

TEST(RegText, TheLastDefinitionOfAValueWins) {
  RegText store;
  ASSERT_TRUE(store.Parse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n[HKEY_LOCAL_MACHINE\\a]\n\"V\"=\"2\"\n"));
  RegValue value;
  ASSERT_EQ(0, store.FindValue("A", "v", &value));
  EXPECT_EQ("2", value.data);
  ASSERT_TRUE(store.Parse(store.WithValue("A", "v", RegValue{1, "3"})));
  ASSERT_EQ(0, store.FindValue("A", "v", &value));
  EXPECT_EQ("3", value.data);
}

TEST(RegText, AnEmptyStoreGetsAHeader) {
  RegText store;
  ASSERT_TRUE(store.Parse(""));
  EXPECT_EQ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n", store.WithKey("K"));
  // A last line ended by a lone CR keeps it as half of its CRLF.
  ASSERT_TRUE(store.Parse("REGEDIT4\r"));
  EXPECT_EQ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n", store.WithKey("K"));
}

}  // namespace
}  // namespace fileregistry
