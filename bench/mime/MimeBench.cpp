// Header summary and body-part scan per mail, on generated mail of the
// shapes the store sees: plain text, multipart/alternative, nested multipart
// with base64 attachments, and a message/rfc822 inside, from 1 KB to 5 MB.
//
//   build/bench/mime/mime_bench --benchmark_counters_tabular=true
//
// items_per_second is mails/s; bytes_per_second is MB/s of mail.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "content/BodyStructure.h"
#include "content/HeaderSummary.h"
#include "content/MimeMessage.h"

namespace Nauvik {
namespace {

enum class Shape { kPlain, kAlternative, kNestedAttachments, kEncapsulated };

// Deterministic filler: base64 lines or text lines.
std::string Lines(size_t bytes, bool base64, uint32_t seed) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char* kWords[] = {"mail ", "ship ", "store ", "folder ", "the ", "and ",
                                 "vessel ", "report ", "engine ", "h\xE6vn "};
  std::string out;
  out.reserve(bytes + 80);
  uint32_t x = seed * 2654435761u + 1;
  while (out.size() < bytes) {
    size_t line = 0;
    while (line < 76) {
      x = x * 1664525u + 1013904223u;
      if (base64) {
        out.push_back(kAlphabet[(x >> 24) & 63]);
        ++line;
      } else {
        const char* w = kWords[(x >> 24) % 10];
        out.append(w);
        line += std::char_traits<char>::length(w);
      }
    }
    out.append("\r\n");
  }
  return out;
}

std::string Headers(uint32_t seed, const std::string& content_type) {
  std::string h;
  for (int i = 0; i < 4; ++i) {
    h += "Received: from relay" + std::to_string(i) + ".example.net (relay" + std::to_string(i) +
         ".example.net [192.0.2." + std::to_string(i + 1) + "])\r\n\tby mx.example.no with ESMTPS id " +
         std::to_string(seed * 31 + i) + "; Tue, 15 Nov 2022 08:12:3" + std::to_string(i) +
         " +0100\r\n";
  }
  h += "From: =?utf-8?q?Ola_Nordmann?= <ola@example.no>\r\n"
       "To: Kari Nordmann <kari@example.no>, \"Bridge, Deck\" <bridge@vessel.example>,\r\n"
       " crew@vessel.example\r\n"
       "Cc: =?iso-8859-1?q?B=E5tsmann?= <bosun@vessel.example>\r\n"
       "Subject: Re: [crew] Fwd: =?utf-8?b?UmFwcG9ydCBmcmEgbWFza2lucm9tbWV0?= " +
       std::to_string(seed) + "\r\n"
       "Date: Tue, 15 Nov 2022 08:12:31 +0100\r\n"
       "Message-ID: <" + std::to_string(seed) + ".bench@example.no>\r\n"
       "MIME-Version: 1.0\r\n"
       "Content-Type: " + content_type + "\r\n"
       "\r\n";
  return h;
}

std::string TextPart(size_t bytes, uint32_t seed, const char* subtype) {
  return std::string("Content-Type: text/") + subtype +
         "; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
         Lines(bytes, false, seed);
}

std::string Attachment(size_t bytes, uint32_t seed) {
  return "Content-Type: application/pdf; name=\"report" + std::to_string(seed) +
         ".pdf\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment\r\n\r\n" +
         Lines(bytes, true, seed);
}

std::string Multipart(const std::string& boundary, const std::vector<std::string>& parts) {
  std::string body = "This is a multi-part message in MIME format.\r\n";
  for (const std::string& p : parts) body += "--" + boundary + "\r\n" + p + "\r\n";
  body += "--" + boundary + "--\r\n";
  return body;
}

std::string MakeMail(Shape shape, size_t size, uint32_t seed) {
  const size_t body = size > 2500 ? size - 2000 : 500;
  switch (shape) {
    case Shape::kPlain:
      return Headers(seed, "text/plain; charset=utf-8") + Lines(body, false, seed);
    case Shape::kAlternative:
      return Headers(seed, "multipart/alternative; boundary=\"alt-" + std::to_string(seed) + "\"") +
             Multipart("alt-" + std::to_string(seed),
                       {TextPart(body / 2, seed, "plain"), TextPart(body / 2, seed + 1, "html")});
    case Shape::kNestedAttachments: {
      const std::string alt = "alt-" + std::to_string(seed);
      const std::string alternative =
          "Content-Type: multipart/alternative; boundary=\"" + alt + "\"\r\n\r\n" +
          Multipart(alt, {TextPart(body / 16, seed, "plain"), TextPart(body / 16, seed, "html")});
      return Headers(seed, "multipart/mixed; boundary=\"mix-" + std::to_string(seed) + "\"") +
             Multipart("mix-" + std::to_string(seed),
                       {alternative, Attachment(body * 3 / 8, seed), Attachment(body * 3 / 8, seed + 7)});
    }
    case Shape::kEncapsulated: {
      const std::string inner =
          Headers(seed + 100, "multipart/mixed; boundary=\"inner-" + std::to_string(seed) + "\"") +
          Multipart("inner-" + std::to_string(seed),
                    {TextPart(body / 8, seed, "plain"), Attachment(body * 3 / 4, seed)});
      return Headers(seed, "multipart/mixed; boundary=\"outer-" + std::to_string(seed) + "\"") +
             Multipart("outer-" + std::to_string(seed),
                       {TextPart(body / 8, seed, "plain"), "Content-Type: message/rfc822\r\n\r\n" + inner});
    }
  }
  return {};
}

// A mix of the four shapes at one size.
std::vector<std::string> Mix(size_t size) {
  std::vector<std::string> mails;
  for (uint32_t i = 0; i < 16; ++i) mails.push_back(MakeMail(static_cast<Shape>(i % 4), size, i));
  return mails;
}

size_t ScanRows(const std::string& mail) {
  size_t rows = 0;
  const BodyPartSink sink = [&](BodyPartRow& row) {
    row.id = static_cast<int64_t>(++rows);
    return true;
  };
  ScanBodyStructure(mail, 0, 0, 1, sink);
  return rows;
}

// Header summary and body-part scan of each mail: all the store computes
// from a mail's bytes before it writes rows.
void BM_MailMix(benchmark::State& state) {
  const std::vector<std::string> mails = Mix(static_cast<size_t>(state.range(0)));
  size_t i = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string& mail = mails[i++ % mails.size()];
    Mime::MimeMessage message;
    benchmark::DoNotOptimize(ByteStream::ParseMail(mail.data(), mail.size(), message));
    HeaderSummary summary = MakeHeaderSummary(message);
    benchmark::DoNotOptimize(summary);
    benchmark::DoNotOptimize(ScanRows(mail));
    bytes += mail.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_MailMix)->Arg(1 << 10)->Arg(10 << 10)->Arg(100 << 10)->Arg(1 << 20)->Arg(5 << 20);

void BM_HeaderSummary(benchmark::State& state) {
  const std::vector<std::string> mails = Mix(static_cast<size_t>(state.range(0)));
  size_t i = 0;
  for (auto _ : state) {
    const std::string& mail = mails[i++ % mails.size()];
    Mime::MimeMessage message;
    benchmark::DoNotOptimize(ByteStream::ParseMail(mail.data(), mail.size(), message));
    HeaderSummary summary = MakeHeaderSummary(message);
    benchmark::DoNotOptimize(summary);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeaderSummary)->Arg(10 << 10);

void BM_BodyPartScan(benchmark::State& state) {
  const std::vector<std::string> mails = Mix(static_cast<size_t>(state.range(0)));
  size_t i = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string& mail = mails[i++ % mails.size()];
    benchmark::DoNotOptimize(ScanRows(mail));
    bytes += mail.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_BodyPartScan)->Arg(10 << 10)->Arg(1 << 20)->Arg(5 << 20);

}  // namespace
}  // namespace Nauvik

BENCHMARK_MAIN();
