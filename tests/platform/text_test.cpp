// UTF-8 / UTF-16 conversion and locale-independent case mapping.
#include <gtest/gtest.h>
#include <locale.h>

#include <string>

#include "platform/Text.h"

TEST(Text, Utf16RoundTripsAndInvalidInputBecomesReplacementCharacters) {
  const std::string s = "Añ€😀𝄞 ü\x7f";
  bool ok = false;
  const std::u16string w = plat::Utf8ToUtf16(s, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(w, u"Añ€😀𝄞 ü\x7f");
  ASSERT_EQ(w.size(), 10u);  // two surrogate pairs
  EXPECT_EQ(w[3], 0xD83D);
  EXPECT_EQ(w[4], 0xDE00);
  EXPECT_EQ(plat::Utf16ToUtf8(w, &ok), s);
  EXPECT_TRUE(ok);
  // The highest code point survives too.
  EXPECT_EQ(plat::Utf16ToUtf8(plat::Utf8ToUtf16("\xF4\x8F\xBF\xBF")), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(plat::Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));

  // Invalid input becomes replacement characters.
  // Lone continuation byte, truncated sequence, overlong "/", encoded surrogate, > U+10FFFF.
  EXPECT_EQ(plat::Utf8ToUtf16("a\x80"
                              "b",
                              &ok),
            u"a\uFFFDb");
  EXPECT_FALSE(ok);
  EXPECT_EQ(plat::Utf8ToUtf16("\xE2\x82", &ok), u"\uFFFD\uFFFD");
  EXPECT_EQ(plat::Utf8ToUtf16("\xC0\xAF", &ok), u"\uFFFD\uFFFD");
  EXPECT_EQ(plat::Utf8ToUtf16("\xED\xA0\x80", &ok).size(), 3u);
  EXPECT_FALSE(ok);
  EXPECT_EQ(plat::Utf8ToUtf16("\xF4\x90\x80\x80", &ok).size(), 4u);

  const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00};
  EXPECT_EQ(plat::Utf16ToUtf8(std::u16string_view(lone, 4), &ok), "x\uFFFDy\uFFFD");
  EXPECT_FALSE(ok);
  const char16_t reversed[] = {0xDC00, 0xD800};
  EXPECT_EQ(plat::Utf16ToUtf8(std::u16string_view(reversed, 2), &ok), "\uFFFD\uFFFD");

  EXPECT_TRUE(plat::IsValidUtf8("plain ÄÖÜ 😀"));
  EXPECT_FALSE(plat::IsValidUtf8("\xff"));
  EXPECT_FALSE(plat::IsValidUtf8("\xC0\xAF"));
  EXPECT_FALSE(plat::IsValidUtf8("\xED\xA0\x80"));
  EXPECT_FALSE(plat::IsValidUtf8("\xF0\x9F\x98"));
}

TEST(Text, CaseMappingComparisonAndTrimmingIgnoreTheLocale) {
  // The user's locale must not change the result (a Turkish locale maps "i"
  // differently when one is installed).
  setlocale(LC_ALL, "tr_TR.UTF-8");
  EXPECT_EQ(plat::ToUpper("abc xyz 123 äöüéÿ"), "ABC XYZ 123 ÄÖÜÉŸ");
  EXPECT_EQ(plat::ToUpper("ąčęłńőšžŀ"), "ĄČĘŁŃŐŠŽĿ");
  EXPECT_EQ(plat::ToUpper("αβγ άέήίόύώ ς"), "ΑΒΓ ΆΈΉΊΌΎΏ Σ");
  EXPECT_EQ(plat::ToUpper("привет ёж аяюэ"), "ПРИВЕТ ЁЖ АЯЮЭ");
  EXPECT_EQ(plat::ToLower("ПРИВЕТ ЁЖ ΑΒΓ ÄÖÜ ĄČĘ ŸI"), "привет ёж αβγ äöü ąčę ÿi");
  setlocale(LC_ALL, "C");
  // Mappings that would change the byte length are not applied, so offsets hold.
  for (const char* s : {"ı", "ſ", "İ", "K", "ß"}) {
    EXPECT_EQ(plat::ToUpper(s).size(), std::string(s).size()) << s;
    EXPECT_EQ(plat::ToLower(s).size(), std::string(s).size()) << s;
  }
  // Invalid bytes and characters outside the BMP pass through.
  EXPECT_EQ(plat::ToUpper("a\xff"
                          "b😀"),
            "A\xff"
            "B😀");

  // Comparisons without regard to case, and trimming.
  EXPECT_TRUE(plat::EqualsNoCase("C:\\Users\\Ärger", "c:\\USERS\\äRGER"));
  EXPECT_FALSE(plat::EqualsNoCase("abc", "abd"));
  EXPECT_FALSE(plat::EqualsNoCase("abc", "abcd"));
  EXPECT_TRUE(plat::StartsWithNoCase("C:\\Дом\\file", "c:\\дОМ\\"));
  EXPECT_FALSE(plat::StartsWithNoCase("C:\\a", "C:\\ab"));
  // A prefix that ends inside a character does not match.
  EXPECT_FALSE(plat::StartsWithNoCase("Ä", "\xC3"));
  EXPECT_EQ(plat::TrimBlanks(" \t a b \t\r\n"), "a b \t\r\n");
  EXPECT_EQ(plat::TrimSpace(" \t a b \t\r\n"), "a b");
  EXPECT_EQ(plat::TrimSpace(" \r\n "), "");
}
