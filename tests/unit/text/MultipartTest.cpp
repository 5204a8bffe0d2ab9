#include "text/Multipart.h"

#include <gtest/gtest.h>

#include <list>
#include <string>

using namespace std::string_literals;

namespace {

constexpr const char* kCrLf = "\r\n";

std::string TextPart(const std::string& name, const std::string& value) {
  return "--B\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + kCrLf;
}

std::string FilePart(const std::string& name, const std::string& file_name, const std::string& type,
                     const std::string& data) {
  return "--B\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + file_name +
         "\"\r\nContent-Type: " + type + "\r\n\r\n" + data + kCrLf;
}

// PostedFileData views the body, so every body parsed here is kept for the
// whole run, as the request keeps its body for the whole request.
text::PostedForm Parse(std::string body) {
  static std::list<std::string> bodies;
  text::PostedForm form;
  text::ParseMultipartBody(form, bodies.emplace_back(std::move(body)));
  return form;
}

TEST(Multipart, TextFields) {
  auto form = Parse(TextPart("id", "a b") + "--B--\r\n");
  EXPECT_EQ(form.PostedFields, "id=a&nbsp;b\r\n");
  EXPECT_EQ(form.PostedFileName, "");
  EXPECT_TRUE(form.PostedFileData.empty());

  form = Parse(TextPart("comment", "x\r\ny<&#160;>") + TextPart("session", "s1") + "--B--\r\n");
  EXPECT_EQ(form.PostedFields, "comment=x<br>y&lt;&nbsp;&gt;\r\nsession=s1\r\n");

  // Neither name nor data is URL-decoded; the name is escaped as the data is,
  // so no name can carry markup or a line of its own into the list.
  form = Parse(TextPart("a b%41", "%41+") + "--B--");
  EXPECT_EQ(form.PostedFields, "a&nbsp;b%41=%41+\r\n");
  form = Parse(TextPart("realname=<img src=x onerror=alert(1)>", "") + TextPart("x\r\npw", "1\n2\r3") + "--B--");
  EXPECT_EQ(form.PostedFields, "realname=&lt;img&nbsp;src=x&nbsp;onerror=alert(1)&gt;=\r\nx<br>pw=1<br>2<br>3\r\n");
  form = Parse(FilePart("f\"", "a\rb=\n<x>.jpg", "image/jpeg", "x") + "--B--");
  EXPECT_EQ(form.PostedFields, "f=a<br>b=<br>&lt;x&gt;.jpg\r\n");

  // A delimiter that partly matches just before it really occurs.
  form = Parse("aab\r\nname=\"x\"\r\n\r\nvaaab");
  EXPECT_EQ(form.PostedFields, "x=va\r\n");

  // A lower-case header is no "Content-Type:", so the part is a text field.
  form = Parse("--B\r\ncontent-type: image/jpeg\r\nname=\"f\"\r\n\r\n\xFF\xD8 x\r\n--B--");
  EXPECT_EQ(form.PostedFields, "f=\xFF\xD8&nbsp;x\r\n");
  EXPECT_TRUE(form.PostedFileData.empty());
}

TEST(Multipart, ImagePart) {
  const std::string jpeg = "\xFF\xD8\x00\r\n--\r\n\xFF\xD9"s;
  const std::string body = TextPart("id", "me") + FilePart("file", "C:\\pics\\cat.jpg", "image/jpeg", jpeg) + "--B--\r\n";
  text::PostedForm form;
  text::ParseMultipartBody(form, body);
  EXPECT_EQ(form.PostedFields, "id=me\r\nfile=cat.jpg\r\n");
  EXPECT_EQ(form.PostedFileName, "cat.jpg");
  EXPECT_EQ(form.PostedFileData, jpeg);
  // The data views the body rather than a copy of it.
  EXPECT_GE(form.PostedFileData.data(), body.data());
  EXPECT_LE(form.PostedFileData.data() + form.PostedFileData.size(), body.data() + body.size());

  form = Parse(FilePart("f", "p.jpg", "image/pjpeg", "x") + "--B--");
  EXPECT_EQ(form.PostedFields, "f=p.jpg\r\n");
  EXPECT_EQ(form.PostedFileData, "x");
}

TEST(Multipart, IgnoredImageParts) {
  const std::string kept = TextPart("id", "me");
  for (const std::string& part : {FilePart("file", "cat.gif", "image/gif", "GIF89a"),
                                  FilePart("file", "", "image/jpeg", "x"),
                                  FilePart("file", "C:\\pics\\", "image/jpeg", "x"),
                                  FilePart("file", "cat.jpg", "image/jpeg", ""),
                                  FilePart("file", "cat.jpg", "Image/JPEG", "x")}) {
    const auto form = Parse(kept + part + "--B--\r\n");
    EXPECT_EQ(form.PostedFields, "id=me\r\n") << part;
    EXPECT_EQ(form.PostedFileName, "") << part;
    EXPECT_TRUE(form.PostedFileData.empty()) << part;
  }
}

TEST(Multipart, FileNames) {
  EXPECT_EQ(Parse(FilePart("f", "dir/cat.jpg", "image/jpeg", "x") + "--B").PostedFileName, "dir/cat.jpg");
  EXPECT_EQ(Parse(FilePart("f", "C:cat.jpg", "image/jpeg", "x") + "--B").PostedFileName, "cat.jpg");
  // "表示.jpg": the second byte of 0x95 0x5C is no backslash.
  const std::string hyouji = "\x95\x5C\x8E\xA6.jpg";
  EXPECT_EQ(Parse(FilePart("f", hyouji, "image/jpeg", "x") + "--B").PostedFileName, hyouji);
  EXPECT_EQ(Parse(FilePart("f", "C:\\\x95\x5C\\" + hyouji, "image/jpeg", "x") + "--B").PostedFileName, hyouji);
  // The first name=" is the one inside filename=" when that comes first.
  const auto form = Parse("--B\r\nX: filename=\"a.jpg\"; name=\"f\"\r\nContent-Type: image/jpeg\r\n\r\nx\r\n--B");
  EXPECT_EQ(form.PostedFields, "a.jpg=a.jpg\r\n");
}

TEST(Multipart, TwoImagePartsKeepTheSecond) {
  const auto form = Parse(FilePart("a", "one.jpg", "image/jpeg", "111") + FilePart("b", "two.jpg", "image/jpeg", "22") + "--B--\r\n");
  EXPECT_EQ(form.PostedFields, "a=one.jpg\r\nb=two.jpg\r\n");
  EXPECT_EQ(form.PostedFileName, "two.jpg");
  EXPECT_EQ(form.PostedFileData, "22");
}

TEST(Multipart, BodiesAndPartsThatChangeNothing) {
  for (const std::string& body : {"a=1&b=2"s, "\r\n--B\r\nname=\"x\"\r\n\r\ny\r\n--B"s, "--B\r\nname=\"x\"\r\n\r\ny"s, ""s}) {
    text::PostedForm form;
    form.PostedFields = "kept=1\r\n";
    text::ParseMultipartBody(form, body);
    EXPECT_EQ(form.PostedFields, "kept=1\r\n");
  }
  // No empty line after the headers; no field name.
  EXPECT_EQ(Parse("--B\r\nname=\"x\"\r\nvalue\r\n--B--").PostedFields, "");
  EXPECT_EQ(Parse("--B\r\nnom=\"x\"\r\n\r\nvalue\r\n--B--").PostedFields, "");
  // An unclosed quote gives the empty field name; the part still counts.
  EXPECT_EQ(Parse("--B\r\nname=\"x\r\n\r\nv\r\n--B--").PostedFields, "=v\r\n");
}

TEST(Multipart, DelimiterRules) {
  // Whatever the first line holds is the delimiter, and what follows the
  // last one is ignored; data ends before the CR LF that precedes it.
  auto form = Parse("XY\r\nname=\"a\"\r\n\r\n1\r\nXYname=\"b\"\r\n\r\n2XY\r\nname=\"c\"\r\n\r\n3");
  EXPECT_EQ(form.PostedFields, "a=1\r\nb=2\r\n");
  // Only one CR LF is removed before a delimiter and after it.
  form = Parse("--B\r\n\r\n\r\nname=\"a\"\r\n\r\nv\r\n--B--");
  EXPECT_EQ(form.PostedFields, "");
  form = Parse("--B\r\nname=\"a\"\r\n\r\nv\r\n\r\n--B--");
  EXPECT_EQ(form.PostedFields, "a=v<br>\r\n");
  form = Parse("--B\r\nname=\"a\"\r\n\r\nv\r\n--B\r\n\r\nname=\"b\"\r\n\r\nw\r\n--B--");
  EXPECT_EQ(form.PostedFields, "a=v\r\nb=w\r\n");
  // A NUL byte in a field value is carried as it is.
  form = Parse(TextPart("n", "a\0b"s) + "--B--");
  EXPECT_EQ(form.PostedFields, "n=a\0b\r\n"s);
}

// A multi-MiB image stays a view into the body: the parser never copies it
// (its speed is measured by the benchmarks).
TEST(Multipart, LargeFileIsAViewIntoTheBody) {
  std::string jpeg(5 << 20, '-');
  for (std::size_t i = 0; i < jpeg.size(); i += 4093) jpeg[i] = '\r';
  const std::string delimiter = "----WebKitFormBoundaryAbCdEfGhIjKlMnOp";
  std::string body = delimiter + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.jpg\"\r\n"
                     "Content-Type: image/jpeg\r\n\r\n" + jpeg + "\r\n" + delimiter + "--\r\n";
  text::PostedForm form;
  text::ParseMultipartBody(form, body);
  EXPECT_EQ(form.PostedFileData, jpeg);
  EXPECT_GE(form.PostedFileData.data(), body.data());
  EXPECT_LE(form.PostedFileData.data() + form.PostedFileData.size(), body.data() + body.size());
}

}  // namespace
