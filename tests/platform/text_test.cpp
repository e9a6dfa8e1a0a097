// UTF-8 / UTF-16 conversion and locale-independent case mapping.
#include <gtest/gtest.h>
#include <locale.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/Text.h"

TEST(Text, Utf16RoundTripsAndInvalidInputBecomesReplacementCharacters) {
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
    EXPECT_EQ(plat::Utf8ToUtf16(utf8, &ok), utf16) << utf8;
    EXPECT_EQ(ok, valid) << utf8;
    EXPECT_EQ(plat::IsValidUtf8(utf8), valid) << utf8;
    EXPECT_TRUE(!valid || plat::Utf16ToUtf8(utf16) == utf8) << utf8;
  }
  EXPECT_EQ(plat::Utf8ToUtf16("😀").size(), 2u);  // a surrogate pair
  const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00}, reversed[] = {0xDC00, 0xD800};
  EXPECT_EQ(plat::Utf16ToUtf8(std::u16string_view(lone, 4), &ok), "x\uFFFDy\uFFFD");
  EXPECT_FALSE(ok);
  EXPECT_EQ(plat::Utf16ToUtf8(std::u16string_view(reversed, 2), &ok), "\uFFFD\uFFFD");
  EXPECT_FALSE(plat::IsValidUtf8("\xF0\x9F\x98"));
}

TEST(Text, CaseMappingComparisonAndTrimmingIgnoreTheLocale) {
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
  EXPECT_EQ(plat::ToUpper("a\xff"
                          "b😀"),
            "A\xff"
            "B😀");  // passed through
  EXPECT_TRUE(plat::EqualsNoCase("C:\\Users\\Ärger", "c:\\USERS\\äRGER"));
  EXPECT_FALSE(plat::EqualsNoCase("abc", "abd"));
  EXPECT_FALSE(plat::EqualsNoCase("abc", "abcd"));
  EXPECT_TRUE(plat::StartsWithNoCase("C:\\Дом\\file", "c:\\дОМ\\"));
  EXPECT_FALSE(plat::StartsWithNoCase("C:\\a", "C:\\ab"));
  EXPECT_FALSE(plat::StartsWithNoCase("Ä", "\xC3"));  // ends inside a character
  EXPECT_EQ(plat::TrimBlanks(" \t a b \t\r\n"), "a b \t\r\n");
  EXPECT_EQ(plat::TrimSpace(" \t a b \t\r\n"), "a b");
  EXPECT_EQ(plat::TrimSpace(" \r\n "), "");
}
