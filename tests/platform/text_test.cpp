// UTF-8 / UTF-16 conversion, locale-independent case mapping, and the error
// numbers and texts of the layer.
#include <gtest/gtest.h>
#include <locale.h>

#include <cerrno>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/base/Errors.h"
#include "platform/base/Text.h"

TEST(Text, Utf16RoundTripsAndCaseMappingIgnoresTheLocale) {
  bool ok = false;
  for (const auto& [utf8, utf16, valid] :
       std::vector<std::tuple<std::string, std::u16string, bool>>{
           {"Añ€😀𝄞 ü\x7f", u"Añ€😀𝄞 ü\x7f", true},
           {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", true},
           {std::string("a\0b", 3), std::u16string(u"a\0b", 3), true},
           {"a\x80z", u"a\uFFFDz", false},                               // a lone continuation byte
           {"\xE2\x82", u"\uFFFD\uFFFD", false},                         // a cut sequence
           {"\xC0\xAF", u"\uFFFD\uFFFD", false},                         // an overlong "/"
           {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},               // an encoded surrogate
           {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false}}) {  // past U+10FFFF
    const std::string row = testing::PrintToString(utf8);  // escaped: no broken bytes in logs
    EXPECT_EQ(plat::Utf8ToUtf16(utf8, &ok), utf16) << row;
    EXPECT_EQ(ok, valid) << row;
    EXPECT_EQ(plat::IsValidUtf8(utf8), valid) << row;
    EXPECT_TRUE(!valid || plat::Utf16ToUtf8(utf16) == utf8) << row;
  }
  EXPECT_EQ(plat::Utf8ToUtf16("😀").size(), 2u);  // a surrogate pair
  const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00}, reversed[] = {0xDC00, 0xD800};
  EXPECT_EQ(plat::Utf16ToUtf8(std::u16string_view(lone, 4), &ok), "x\uFFFDy\uFFFD");
  EXPECT_FALSE(ok);
  EXPECT_EQ(plat::Utf16ToUtf8(std::u16string_view(reversed, 2), &ok), "\uFFFD\uFFFD");

  // A Turkish locale maps "i" differently when one is installed.
  setlocale(LC_ALL, "tr_TR.UTF-8");
  EXPECT_EQ(plat::ToUpper("abc xyz 123 äöüéÿ"), "ABC XYZ 123 ÄÖÜÉŸ");
  EXPECT_EQ(plat::ToUpper("ąčęłńőšžŀ"), "ĄČĘŁŃŐŠŽĿ");
  EXPECT_EQ(plat::ToUpper("αβγ άέήίόύώ ς"), "ΑΒΓ ΆΈΉΊΌΎΏ Σ");
  EXPECT_EQ(plat::ToUpper("привет ёж аяюэ"), "ПРИВЕТ ЁЖ АЯЮЭ");
  EXPECT_EQ(plat::ToLower("ПРИВЕТ ЁЖ ΑΒΓ ÄÖÜ ĄČĘ ŸI"), "привет ёж αβγ äöü ąčę ÿi");
  setlocale(LC_ALL, "C");
  // Mappings that would change the byte length are not applied, so offsets hold.
  for (const std::string s : {"ı", "ſ", "İ", "K", "ß"})
    EXPECT_TRUE(plat::ToUpper(s).size() == s.size() && plat::ToLower(s).size() == s.size()) << s;
  // Bytes that are not UTF-8 pass through.
  EXPECT_EQ(plat::ToUpper(std::string("a\xff") + "b😀"), std::string("A\xff") + "B😀");
  EXPECT_TRUE(plat::EqualsNoCase("C:\\Users\\Ärger", "c:\\USERS\\äRGER"));
  EXPECT_FALSE(plat::EqualsNoCase("abc", "abd") || plat::EqualsNoCase("abc", "abcd"));
  EXPECT_TRUE(plat::StartsWithNoCase("C:\\Дом\\file", "c:\\дОМ\\"));
  EXPECT_FALSE(plat::StartsWithNoCase("C:\\a", "C:\\ab"));
  EXPECT_FALSE(plat::StartsWithNoCase("Ä", "\xC3"));  // ends inside a character
  EXPECT_EQ(plat::TrimBlanks(" \t a b \t\r\n"), "a b \t\r\n");
  EXPECT_EQ(plat::TrimSpace(" \t a b \t\r\n"), "a b");
  EXPECT_EQ(plat::TrimSpace(" \r\n "), "");
}

// Each errno gives the code whose text names the real cause: a read-only
// file system is "write protected", not "access denied" or "path not found";
// the last error is kept per thread. (The codes of real failures: the file tests.)
TEST(Errors, MapsErrnoValuesToTheRealCauseAndItsText) {
  struct Case {
    int err;
    uint32_t code;
    const char* words;  // part of the code's text
  };
  const Case cases[] = {
      {0, 0u, "completed successfully"},
      {EACCES, plat::kErrAccessDenied, "Access is denied"},
      {EPERM, plat::kErrAccessDenied, "Access is denied"},
      {EROFS, 19u, "write protected"},
      {ENOSPC, 112u, "not enough space"},
      {EDQUOT, 112u, "not enough space"},
      {EFBIG, plat::kErrFileTooLarge, "exceeds the limit"},
      {EIO, plat::kErrIoDevice, "I/O device error"},
      {ENETDOWN, plat::kErrBadNetPath, "network path"},
      {EREMOTEIO, plat::kErrUnexpNetErr, "network error"},
      {99999, plat::kErrGenFailure, "not functioning"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plat::ErrnoToWinError(c.err), c.code) << c.err;
    EXPECT_NE(plat::WinErrorMessage(c.code).find(c.words), std::string::npos) << c.code;
  }
  EXPECT_EQ(plat::WinErrorMessage(424242), "Unknown error 424242.");
  // Every number the layer can produce has its own text.
  for (int e = 1; e < 134; ++e) {
    const uint32_t code = plat::ErrnoToWinError(e);
    EXPECT_EQ(plat::WinErrorMessage(code).rfind("Unknown error", 0), std::string::npos) << e;
  }
  plat::SetLastError(5);  // the last error is the thread's own
  std::thread([] { plat::SetLastError(112); }).join();
  EXPECT_EQ(plat::GetLastError(), 5u);
}
