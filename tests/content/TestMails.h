#pragma once

// Mails written for the body-part and header tests: the shapes real mail
// takes, and the broken ones real mail also takes.

#include <string>

namespace Nauvik::Testing {

inline const std::string kPlainMail =
    "From: Ola Nordmann <ola@example.no>\r\n"
    "To: kari@example.no\r\n"
    "Subject: Plain\r\n"
    "Date: Tue, 15 Nov 1994 08:12:31 +0100\r\n"
    "Message-ID: <plain-1@example.no>\r\n"
    "\r\n"
    "Hello Kari,\r\n"
    "just text.\r\n";

inline const std::string kMixedMail =
    "From: a@example.no\r\n"
    "Subject: Two parts\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "This is a preamble.\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; charset=\"ISO-8859-1\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "Gr=F8nn\r\n"
    "--b1\r\n"
    "Content-Type: application/pdf; name=a.pdf\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0xLjQK\r\n"
    "--b1--\r\n"
    "epilogue\r\n";

// mixed( alternative( text, html ), image, message/rfc822( mixed( text, zip ) ) )
inline const std::string kNestedMail =
    "From: a@example.no\r\n"
    "To: b@example.no\r\n"
    "Subject: Nested\r\n"
    "Content-Type: multipart/mixed;\r\n"
    "\tboundary=\"outer boundary\"\r\n"
    "\r\n"
    "--outer boundary\r\n"
    "Content-Type: multipart/alternative; boundary=alt-1\r\n"
    "\r\n"
    "--alt-1\r\n"
    "Content-Type: text/plain; charset=utf-8; format=flowed\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    "Hei p\xC3\xA5 deg\r\n"
    "--alt-1\r\n"
    "Content-Type: text/html; charset=windows-1252\r\n"
    "\r\n"
    "<p>Hei</p>\r\n"
    "--alt-1--\r\n"
    "\r\n"
    "--outer boundary\r\n"
    "Content-Type: IMAGE/PNG; name=\"dot.png\"\r\n"
    "Content-Transfer-Encoding: BASE64\r\n"
    "Content-Disposition: attachment; filename=\"dot.png\"\r\n"
    "\r\n"
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk\r\n"
    "YPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==\r\n"
    "--outer boundary\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "From: c@example.no\r\n"
    "Subject: Inner\r\n"
    "Content-Type: multipart/mixed; boundary=\"inner\"\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "inner text\r\n"
    "--inner\r\n"
    "Content-Type: application/zip\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==\r\n"
    "--inner--\r\n"
    "\r\n"
    "--outer boundary--\r\n";

// The last part is never closed: no delimiter follows it.
inline const std::string kUnclosedMail =
    "Content-Type: multipart/mixed; boundary=b1\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "first\r\n"
    "--b1\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "never closed\r\n";

// The preamble quotes the boundary text before the first real delimiter.
inline const std::string kBoundaryInPreambleMail =
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "Parts below are separated by --b1 lines.\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "real part\r\n"
    "--b1--\r\n";

inline const std::string kLfOnlyMail =
    "Subject: LF only\n"
    "Content-Type: multipart/mixed; boundary=b1\n"
    "\n"
    "--b1\n"
    "Content-Type: text/plain\n"
    "\n"
    "text\n"
    "--b1--\n";

inline const std::string kHeaderOnlyMail = "Subject: header only\r\nTo: x@example.no\r\n";

// A part without an empty line, and NUL and 8-bit bytes everywhere.
inline const std::string kOddPartsMail = std::string(
    "Subject: odd \xE6\xF8\0 parts\r\n"
    "Content-Type: multipart/mixed; boundary=b\r\n"
    "\r\n"
    "--b\r\n"
    "Content-Type: text/plain\r\n"
    "--b\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "\0\x01\xFF binary\r\n"
    "--b--\r\n",
    166);

}  // namespace Nauvik::Testing
