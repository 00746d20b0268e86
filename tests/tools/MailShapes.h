#pragma once

#include <string>

#include "tools/MailText.h"

namespace Nauvik::Import::Test {

// `text` with the line ends the store keeps.
inline std::string Crlf(const std::string& text) {
  std::string out;
  ConvertToCrlf(text, &out);
  return out;
}

// Shapes from real archives: an envelope line right after a boundary line, a header
// "From  :", and an attached git patch whose first line is an envelope line.
inline std::string Bounce() {
  return "Return-Path: <>\nFrom: Mail Delivery System <MAILER-DAEMON@mx.example.org>\n"
         "Subject: Undelivered Mail\nContent-Type: multipart/report; boundary=\"B1\"\n\n"
         "--B1\nContent-Type: text/plain\n\nThis is the mail system.\n\n"
         "--B1\nFrom bob@example.com Mon Jan 12 09:59:58 2026\nFrom: bob@example.com\n"
         "Subject: hi\n\nhello\n--B1--\n";
}
inline std::string WithPatch() {
  return "From  :<x@y>\nFrom: Dev <dev@example.org>\nSubject: [PATCH] fix\n"
         "Content-Type: multipart/mixed; boundary=\"B2\"\n\n"
         "--B2\nContent-Type: text/plain\n\nFrom here on, see the patch.\n\n"
         "From time to time it broke.\n\n"
         "--B2\nContent-Type: text/x-patch;\n name=\"0001-fix.patch\"\n\n"
         "From 1a2b3c4d5e6f7a8b9c0d1e2f3a4b5c6d7e8f9a0b Mon Sep 17 00:00:00 2001\n"
         "From: Dev <dev@example.org>\nSubject: [PATCH] fix\n\n---\n a.c | 2 +-\n\n--B2--\n";
}

}  // namespace Nauvik::Import::Test
