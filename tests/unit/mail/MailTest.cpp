#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "mail/Mail.h"

namespace {

TEST(Mail, OnlyOnePlainAddressGetsMail) {
  for (const char* ok : {"a@x", "first.last+tag@example.co.jp", "o'neil@example.org"}) {
    EXPECT_TRUE(mail::IsPlainMailAddress(ok)) << ok;
  }
  const std::string long_local(250, 'a');
  for (const std::string& bad : std::initializer_list<std::string>{"", "a", "@x", "a@", "a@x,b@y", "a@x b@y", "a@x\r\nBcc: e@y", "a@x<br>Bcc:&nbsp;e@y",
                                "-oQ/tmp@x", "a@-x", "a@x..y", "a@x.", "\"a\"@x", "<a@x>", "a@x;b@y", "a@b@c",
                                long_local + "@x.jp", "a\x81@x"}) {
    EXPECT_FALSE(mail::IsPlainMailAddress(bad)) << bad;
  }
}

TEST(Mail, DatesAndHeaders) {
  EXPECT_EQ(mail::MailDate(0), "Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(mail::MailDate(951782400 + 3661), "Tue, 29 Feb 2000 01:01:01 +0000");
  EXPECT_EQ(mail::MailDate(1796848996), "Wed, 09 Dec 2026 20:43:16 +0000");
  // A long Japanese subject: encoded words of at most 75 characters, each
  // whole UTF-8 (30 three-byte characters need three words).
  const std::string subject = [] {
    std::string s;
    for (int i = 0; i < 30; ++i) s += "\xe3\x81\x82";
    return s;
  }();
  const std::string mail = mail::BuildMail({"s@x.jp", "a@x.jp", subject, "b"}, 0);
  const std::size_t start = mail.find("Subject: ") + 9, end = mail.find("\nDate: ");
  const std::string header = mail.substr(start, end - start);
  EXPECT_EQ(header, "=?UTF-8?B?44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC?=\n"
                    " =?UTF-8?B?44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC44GC?=\n"
                    " =?UTF-8?B?44GC44GC44GC44GC?=");
  EXPECT_NE(mail.find("\n\nYg==\n"), std::string::npos);  // "b" in base64 after the blank line
}

}  // namespace
