// Writes a deterministic mail corpus as a Maildir++ tree for the import
// benchmark: the same seed and count give the same bytes on every machine.
//
//   bench_corpus_gen --out DIR [--mails N] [--seed S] [--big-only]
//
// The mix: sizes from 2 to 51 KB (mean about 18 KB), 45 % text/plain, 25 %
// multipart/alternative (plain and HTML), 30 % multipart/mixed with one to
// three base64 attachments; LF line ends; every mail has its own Message-ID.
// About 60 % land in the root folder (cur/ and new/), the rest in five
// sub-folders. --big-only writes instead three single mails of 1, 5 and
// 20 MB (a base64 attachment each) into DIR/cur.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// splitmix64: small, fast and fully specified, so the corpus does not depend
// on the standard library's distributions.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  uint64_t Range(uint64_t lo, uint64_t hi) { return lo + Next() % (hi - lo + 1); }
  bool Percent(unsigned p) { return Next() % 100 < p; }

 private:
  uint64_t state_;
};

const char* const kWords[] = {
    "engine",  "room",    "report", "weekly", "cargo",   "manifest", "port",     "arrival",
    "crew",    "list",    "fuel",   "oil",    "bunker",  "survey",   "harbour",  "pilot",
    "weather", "routing", "deck",   "hatch",  "ballast", "pump",     "spare",    "parts",
    "invoice", "order",   "agent",  "berth",  "tide",    "schedule", "the",      "and",
    "of",      "to",      "for",    "with",   "on",      "at",       "from",     "please",
    "regards", "thanks",  "noon",   "eta",    "etd",     "master",   "chief",    "officer",
    "check",   "valve",   "filter", "change", "due",     "next",     "voyage",   "captain"};
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

const char* const kNames[] = {"Jørgen Hansen", "Anna Berg",    "Pedro Alves",  "Mei Chen",
                              "Olu Adeyemi",   "Kari Nilsen",  "Tomás Rivera", "Ivan Petrov",
                              "Sara Lindqvist", "Ahmed Karim"};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

std::string Word(Rng& rng) { return kWords[rng.Next() % kWordCount]; }

std::string Address(Rng& rng) {
  std::string name = kNames[rng.Next() % kNameCount];
  std::string local;
  for (char c : name) {
    if (c == ' ') local += '.';
    else if (static_cast<unsigned char>(c) < 0x80) local += static_cast<char>(std::tolower(c));
  }
  return "\"" + name + "\" <" + local + "@fleet" + std::to_string(rng.Range(1, 9)) +
         ".example>";
}

// Text lines of about 72 characters up to `bytes`.
std::string Prose(Rng& rng, size_t bytes) {
  std::string out;
  std::string line;
  while (out.size() < bytes) {
    std::string w = Word(rng);
    if (line.size() + w.size() + 1 > 72) {
      out += line + "\n";
      line.clear();
      if (rng.Percent(8)) out += "\n";
      continue;
    }
    if (!line.empty()) line += ' ';
    line += w;
  }
  if (!line.empty()) out += line + "\n";
  return out;
}

std::string Html(Rng& rng, size_t bytes) {
  std::string out = "<html><body>\n";
  while (out.size() < bytes) out += "<p>" + Prose(rng, 200) + "</p>\n";
  return out + "</body></html>\n";
}

std::string Base64(Rng& rng, size_t raw_bytes) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(raw_bytes * 4 / 3 + raw_bytes / 57 + 8);
  size_t line = 0;
  for (size_t done = 0; done < raw_bytes; done += 3) {
    const uint64_t v = rng.Next();
    const size_t n = raw_bytes - done < 3 ? raw_bytes - done : 3;
    out += kTable[(v >> 18) & 63];
    out += kTable[(v >> 12) & 63];
    out += n > 1 ? kTable[(v >> 6) & 63] : '=';
    out += n > 2 ? kTable[v & 63] : '=';
    if (++line == 19) {  // 76 characters a line
      out += '\n';
      line = 0;
    }
  }
  if (line != 0) out += '\n';
  return out;
}

std::string Subject(Rng& rng) {
  if (rng.Percent(20)) {
    // An encoded word with non-ASCII text: "Ærø – <word>"
    return "=?UTF-8?Q?=C3=86r=C3=B8_=E2=80=93_" + Word(rng) + "?=";
  }
  std::string s = Word(rng);
  s[0] = static_cast<char>(std::toupper(s[0]));
  for (int i = rng.Range(2, 6); i > 0; --i) s += " " + Word(rng);
  return s;
}

std::string Headers(Rng& rng, uint64_t seed, uint64_t n, int64_t when) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(when);
  struct tm tm;
  gmtime_r(&t, &tm);
  char date[64];
  std::snprintf(date, sizeof date, "%s, %d %s %d %02d:%02d:%02d +0000", kDays[(tm.tm_wday + 6) % 7],
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  char mid[96];
  std::snprintf(mid, sizeof mid, "<%" PRIu64 ".%" PRIu64 ".%08" PRIx64 "@bench.example>", seed, n,
                rng.Next() & UINT64_C(0xffffffff));
  std::string h = "Return-Path: <bounce@relay.example>\n";
  h += "Received: from relay.example (relay.example [192.0.2.7])\n\tby mx.fleet.example; " +
       std::string(date) + "\n";
  h += "From: " + Address(rng) + "\n";
  h += "To: " + Address(rng) + "\n";
  if (rng.Percent(30)) h += "Cc: " + Address(rng) + ", " + Address(rng) + "\n";
  h += "Subject: " + Subject(rng) + "\n";
  h += "Date: " + std::string(date) + "\n";
  h += "Message-ID: " + std::string(mid) + "\n";
  h += "MIME-Version: 1.0\n";
  return h;
}

// One mail of about `size` bytes; `kind` 0 plain, 1 alternative, 2 mixed.
std::string Mail(Rng& rng, uint64_t seed, uint64_t n, int kind, size_t size, int64_t when) {
  std::string mail = Headers(rng, seed, n, when);
  const size_t body = size > mail.size() + 200 ? size - mail.size() - 200 : 200;
  char boundary[48];
  std::snprintf(boundary, sizeof boundary, "=_bench_%" PRIu64 "_%" PRIx64, n, rng.Next() & 0xffff);
  if (kind == 0) {
    mail += "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n";
    mail += Prose(rng, body);
  } else if (kind == 1) {
    mail += "Content-Type: multipart/alternative; boundary=\"" + std::string(boundary) + "\"\n\n";
    mail += "This is a multi-part message in MIME format.\n\n--" + std::string(boundary) + "\n";
    mail += "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n";
    mail += Prose(rng, body * 2 / 5);
    mail += "\n--" + std::string(boundary) + "\n";
    mail += "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n";
    mail += Html(rng, body * 3 / 5);
    mail += "\n--" + std::string(boundary) + "--\n";
  } else {
    mail += "Content-Type: multipart/mixed; boundary=\"" + std::string(boundary) + "\"\n\n";
    mail += "This is a multi-part message in MIME format.\n\n--" + std::string(boundary) + "\n";
    mail += "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n";
    const size_t text = body / 5 < 300 ? 300 : body / 5;
    mail += Prose(rng, text);
    const int attachments = static_cast<int>(rng.Range(1, 3));
    const size_t left = body > text ? body - text : 300;
    static const char* const kTypes[] = {"application/pdf", "image/jpeg",
                                         "application/octet-stream"};
    static const char* const kExt[] = {"pdf", "jpg", "bin"};
    for (int a = 0; a < attachments; ++a) {
      const int t = static_cast<int>(rng.Next() % 3);
      mail += "\n--" + std::string(boundary) + "\n";
      mail += std::string("Content-Type: ") + kTypes[t] + "; name=\"part" + std::to_string(a) +
              "." + kExt[t] + "\"\n";
      mail += "Content-Transfer-Encoding: base64\n";
      mail += "Content-Disposition: attachment; filename=\"part" + std::to_string(a) + "." +
              kExt[t] + "\"\n\n";
      mail += Base64(rng, left / static_cast<size_t>(attachments) * 3 / 4);
    }
    mail += "\n--" + std::string(boundary) + "--\n";
  }
  return mail;
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

void MakeMaildir(const fs::path& dir) {
  for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir / sub);
}

int Usage() {
  std::fprintf(stderr, "usage: bench_corpus_gen --out DIR [--mails N] [--seed S] [--big-only]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  uint64_t mails = 5000, seed = 1;
  bool big_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "--mails" && i + 1 < argc) mails = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--seed" && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--big-only") big_only = true;
    else return Usage();
  }
  if (out.empty()) return Usage();
  const fs::path root(out);
  Rng rng(seed);
  const int64_t base_time = 1704067200;  // 2024-01-01, so dates do not depend on today
  uint64_t bytes = 0;

  if (big_only) {
    MakeMaildir(root);
    const size_t sizes[] = {1u << 20, 5u << 20, 20u << 20};
    uint64_t n = 0;
    for (size_t size : sizes) {
      std::string mail = Mail(rng, seed + 1000000, n, 2, size, base_time + static_cast<int64_t>(n));
      char name[96];
      std::snprintf(name, sizeof name, "%" PRId64 ".M%" PRIu64 "P1.bench:2,S",
                    base_time + static_cast<int64_t>(n), n);
      if (!WriteFile(root / "cur" / name, mail)) return 1;
      bytes += mail.size();
      ++n;
    }
    std::printf("%d mails, %" PRIu64 " bytes\n", 3, bytes);
    return 0;
  }

  const char* const kFolders[] = {"", ".Sent", ".Archive", ".Archive.2023", ".Lists.ops",
                                  ".Entw&APw-rfe"};
  for (const char* f : kFolders) MakeMaildir(root / f);
  for (uint64_t n = 0; n < mails; ++n) {
    const unsigned pick = static_cast<unsigned>(rng.Next() % 100);
    const int kind = pick < 45 ? 0 : pick < 70 ? 1 : 2;
    // Small mails are the common case: the square of an even draw puts the
    // mean near 18 KB while still reaching 51 KB.
    const double u = static_cast<double>(rng.Next() % 1000000) / 1000000.0;
    const size_t size = 2 * 1024 + static_cast<size_t>(49.0 * 1024 * u * u);
    const int64_t when = base_time + static_cast<int64_t>(n) * 37;
    std::string mail = Mail(rng, seed, n, kind, size, when);
    const unsigned where = static_cast<unsigned>(rng.Next() % 100);
    const char* folder = where < 60 ? kFolders[0] : kFolders[1 + (where - 60) / 8];
    const bool fresh = rng.Percent(10);
    char name[96];
    std::snprintf(name, sizeof name, "%" PRId64 ".M%" PRIu64 "P1.bench%s", when, n,
                  fresh ? "" : (rng.Percent(70) ? ":2,S" : ":2,"));
    if (!WriteFile(root / folder / (fresh ? "new" : "cur") / name, mail)) return 1;
    bytes += mail.size();
  }
  std::printf("%" PRIu64 " mails, %" PRIu64 " bytes\n", mails, bytes);
  return 0;
}
