// UTF-8 / UTF-16, case mapping without the locale, error texts; profile (INI) files.
#include <locale.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <tuple>

#include "Checks.h"
#include "platform/base/Text.h"
#include "platform/profile/Profile.h"

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
  EXPECT_EQ(plat::ToUpper("abc xyz 123 äöüéÿ ąčęłńőšžŀ αβγ άέήίόύώ ς привет ёж аяюэ"),
            "ABC XYZ 123 ÄÖÜÉŸ ĄČĘŁŃŐŠŽĿ ΑΒΓ ΆΈΉΊΌΎΏ Σ ПРИВЕТ ЁЖ АЯЮЭ");
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

// A read-only file system is "write protected", not "access denied"; the last error is per thread.
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
  for (int e = 1; e < 134; ++e) {
    const uint32_t code = plat::ErrnoToWinError(e);
    EXPECT_EQ(plat::WinErrorMessage(code).rfind("Unknown error", 0), std::string::npos) << e;
  }
  plat::SetLastError(5);  // the last error is the thread's own
  std::thread([] { plat::SetLastError(112); }).join();
  EXPECT_EQ(plat::GetLastError(), 5u);
}

using bvtest::TempDir;

// Reads take the first section and key without regard to case; writes change one line.
TEST(Profile, ReadsTheFirstSectionAndKeyWithoutRegardToCase) {
  TempDir t;
  t.Write(
      "p.ini",
      "\xEF\xBB\xBF; comment line\r\n[Backup Settings]\r\n  Name =  Daily Job  \r\n"
      "name=second\r\nQuoted=\"  spaced  \"\r\nSingle='x'\r\nHalf=\"open\r\nEmpty=\r\n"
      ";Commented=1\r\nnovalue line\r\nCount= -42 items\r\n"
      "[backup settings]\r\nOther=hidden by the first section\r\n[Ümlaut]\r\nKey=ü\r\n"
      "[Ints]\r\na=+12\r\nb=0009\r\nc=99999999999999\r\nd=-99999999999999\r\ne=-\r\nf=\"5\"\r\n");
  const std::string p = t.SystemOf("p.ini");
  // The first key of the first section counts; comments and lines without "=" do not.
  std::string got;
  for (const char* key : {"NAME", "Quoted", "Single", "Half", "Empty", "Commented", "Other"})
    got += "[" + plat::GetProfileString(p, "BACKUP SETTINGS", key, "d") + "]";
  EXPECT_EQ(got, "[Daily Job][  spaced  ][x][\"open][][d][d]");
  EXPECT_EQ(plat::GetProfileString(p, "ümlaut", "key", "d"), "ü");
  EXPECT_EQ(plat::GetProfileString(p, "Nope", "Name", "d"), "d");
  EXPECT_EQ(plat::GetProfileString(p, "Backup Settings", "Name", "d", 5), "Daily");
  EXPECT_EQ(plat::GetProfileString(p, "Ümlaut", "Key", "d", 0), "");
  EXPECT_EQ(plat::GetProfileString(t.SystemOf("missing.ini"), "A", "B", "dflt"), "dflt");
  got.clear();  // integers as atoi reads them, saturated; 7 for none
  for (const char* key : {"Count", "Name", "Empty", "Missing"})
    got += std::to_string(plat::GetProfileInt(p, "Backup Settings", key, 7)) + " ";
  for (const char* key : {"a", "b", "c", "d", "e", "f"})
    got += std::to_string(plat::GetProfileInt(p, "Ints", key, 7)) + " ";
  EXPECT_EQ(got, "-42 7 7 7 12 9 2147483647 -2147483648 7 5 ");
  EXPECT_EQ(plat::GetProfileSectionNames(p),
            (std::vector<std::string>{"Backup Settings", "Ümlaut", "Ints"}));
  const auto entries = plat::GetProfileSection(p, "backup settings");
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>("Name", "Daily Job")));
  EXPECT_EQ(entries[2], (std::pair<std::string, std::string>("Quoted", "  spaced  ")));
  // Writes change one line and keep the rest; names that would break the file are refused;
  // nothing is lost to concurrent writers.
  t.Write("w.ini",
          "; header\r\n[First]\r\nAlpha = 1\r\n; inner\r\nBeta=2\r\n\r\n[Second]\r\nG=3\r\n");
  const std::string w = t.SystemOf("w.ini");
  ASSERT_TRUE(plat::WriteProfileString(w, "FIRST", "alpha", "one"));
  ASSERT_TRUE(plat::WriteProfileString(w, "First", "Delta", "4"));
  ASSERT_TRUE(plat::WriteProfileInt(w, "Third", "Eps", -5));
  EXPECT_EQ(t.Read("w.ini"),
            "; header\r\n[First]\r\nAlpha=one\r\n; inner\r\nBeta=2\r\nDelta=4\r\n\r\n"
            "[Second]\r\nG=3\r\n\r\n[Third]\r\nEps=-5\r\n");
  ASSERT_TRUE(plat::WriteProfileString(w, "First", "Beta", nullptr));
  ASSERT_TRUE(plat::WriteProfileString(w, "second", nullptr, nullptr));
  ASSERT_TRUE(plat::WriteProfileString(w, "Nope", "x", nullptr));  // nothing to remove
  ASSERT_TRUE(plat::WriteProfileString(w, "Nope", nullptr, nullptr));
  EXPECT_EQ(t.Read("w.ini"),
            "; header\r\n[First]\r\nAlpha=one\r\n; inner\r\nDelta=4\r\n\r\n[Third]\r\nEps=-5\r\n");
  const std::string n = t.SystemOf("new.ini");
  ASSERT_TRUE(plat::WriteProfileString(n, "S", "k", "v"));
  EXPECT_EQ(t.Read("new.ini"), "[S]\nk=v\n");
  t.Write("nolf.ini", "[S]\nk=v");
  ASSERT_TRUE(plat::WriteProfileString(t.SystemOf("nolf.ini"), "S", "k2", "v2"));
  EXPECT_EQ(t.Read("nolf.ini"), "[S]\nk=v\nk2=v2\n");
  EXPECT_FALSE(plat::WriteProfileString(t.SystemOf("nodir\\x.ini"), "S", "k", "v"));
  EXPECT_EQ(plat::GetLastError(), plat::kErrPathNotFound);
  for (const auto& [section, key, value] :
       std::vector<std::tuple<const char*, const char*, const char*>>{
           {"S", "k", "two\nlines"}, {"S", "a=b", "v"}, {"S]", "k", "v"}, {"S\n", "k", "v"}}) {
    EXPECT_FALSE(plat::WriteProfileString(n, section, key, value)) << section << key << value;
    EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidParameter);
  }
  EXPECT_EQ(t.Read("new.ini"), "[S]\nk=v\n");
  const std::string c = t.SystemOf("c.ini");
  std::vector<std::thread> threads;
  for (int s = 0; s < 4; ++s)
    threads.emplace_back([&, s] {
      for (int i = 0; i < 25; ++i)
        plat::WriteProfileInt(c, "S" + std::to_string(s), "k" + std::to_string(i), i);
    });
  for (auto& th : threads) th.join();
  for (int s = 0; s < 4; ++s)
    for (int i = 0; i < 25; ++i)
      EXPECT_EQ(plat::GetProfileInt(c, "S" + std::to_string(s), "k" + std::to_string(i), -1), i);
  // Empty, binary and huge files are read and kept.
  t.Write("empty.ini", "");
  EXPECT_TRUE(plat::GetProfileSectionNames(t.SystemOf("empty.ini")).empty());
  ASSERT_TRUE(plat::WriteProfileString(t.SystemOf("empty.ini"), "S", "k", "v"));
  EXPECT_EQ(t.Read("empty.ini"), "[S]\nk=v\n");
  std::string junk(1 << 20, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7919 % 251);
  t.Write("junk.ini", junk);
  const std::string j = t.SystemOf("junk.ini");
  EXPECT_EQ(plat::GetProfileString(j, "S", "k", "d"), "d");
  ASSERT_TRUE(plat::WriteProfileString(j, "S", "k", "v"));
  EXPECT_EQ(plat::GetProfileString(j, "S", "k", "d"), "v");
  EXPECT_EQ(t.Read("junk.ini").substr(0, junk.size()), junk);
  const std::string huge = "[S]\nhuge=" + std::string(10 << 20, 'x') + "\nafter=1\n";
  t.Write("long.ini", huge);
  const std::string l = t.SystemOf("long.ini");
  EXPECT_EQ(plat::GetProfileString(l, "S", "huge", "d").size(), 1023u);
  EXPECT_EQ(plat::GetProfileString(l, "S", "huge", "d", 20u << 20).size(), 10u << 20);
  ASSERT_TRUE(plat::WriteProfileString(l, "S", "after", "2"));
  EXPECT_EQ(plat::GetProfileInt(l, "S", "after", 0), 2);
  EXPECT_EQ(std::filesystem::file_size(t.NativeOf("long.ini")), huge.size());
  // A kept profile is read again when rewritten at the same size, renamed over with its old
  // times, removed.
  const std::string ini = t.SystemOf("side.ini");
  const auto expect = [&](const char* text, int n) {
    EXPECT_EQ(plat::GetKeptProfileString(ini, "s", "K", "-"), text);
    EXPECT_EQ(plat::GetKeptProfileInt(ini, "S", "n", 0), n);
  };
  t.Write("side.ini", "[S]\nk=one\nn=1\n");
  expect("one", 1);
  expect("one", 1);
  const auto later = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };
  t.Write("side.ini", "[S]\nk=two\nn=2\n");
  later();
  expect("two", 2);
  const std::string other = t.Write("other.ini", "[S]\nk=six\nn=6\n");
  std::filesystem::last_write_time(other, std::filesystem::last_write_time(t.NativeOf("side.ini")));
  ASSERT_EQ(std::rename(other.c_str(), t.NativeOf("side.ini").c_str()), 0);
  expect("two", 2);
  later();
  expect("six", 6);
  ASSERT_EQ(std::remove(t.NativeOf("side.ini").c_str()), 0);
  plat::ForgetKeptProfiles();
  expect("-", 0);
}
