// Time formatting and mail-date parsing: every log line is stamped, every
// log message checks the daily file name, every stored mail parses a date.
#include <benchmark/benchmark.h>

#include <string>

#include "foundation/NTime.h"

namespace {

void BM_FormatLogLineStamp(benchmark::State& state) {
  KAVRO::NTime now;
  for (auto _ : state) {
    std::string stamp = now.Format("$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ");
    benchmark::DoNotOptimize(stamp);
  }
}
BENCHMARK(BM_FormatLogLineStamp);

void BM_NowAndLogLineStamp(benchmark::State& state) {
  for (auto _ : state) {
    KAVRO::NTime now;  // local time, as the log function takes it per line
    std::string stamp = now.Format("$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ");
    benchmark::DoNotOptimize(stamp);
  }
}
BENCHMARK(BM_NowAndLogLineStamp);

void BM_FormatLogFileName(benchmark::State& state) {
  KAVRO::NTime now;
  for (auto _ : state) {
    std::string name = now.Format("MailStorage_$YEAR_$STRMONTH_$DAY.log");
    benchmark::DoNotOptimize(name);
  }
}
BENCHMARK(BM_FormatLogFileName);

void BM_FormatSqlDateLiteral(benchmark::State& state) {
  KAVRO::NTime now;
  for (auto _ : state) {
    std::string literal = now.Format("'$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC'");
    benchmark::DoNotOptimize(literal);
  }
}
BENCHMARK(BM_FormatSqlDateLiteral);

void BM_ParseMailDate(benchmark::State& state) {
  static const char* const kDates[] = {
      "Tue, 15 Nov 1994 08:12:31 +0100",  // first format
      "15 Nov 94 08:12:31 -0330",         // fourth format, after three failures
      "Mon, 4 Mar 2024 10:20:30 +0100 (CET)",
      "not a date at all",  // every format fails
  };
  const char* text = kDates[state.range(0)];
  const std::string date(text);
  KAVRO::NTime t;
  for (auto _ : state) {
    bool ok = t.ParseMailDate(date);
    benchmark::DoNotOptimize(ok);
  }
  state.SetLabel(text);
}
BENCHMARK(BM_ParseMailDate)->DenseRange(0, 3);

void BM_ParseDatabaseText(benchmark::State& state) {
  const std::string text = "2024/03/05 07:08:09";
  for (auto _ : state) {
    KAVRO::NTime t = KAVRO::NTime::FromDatabaseText(text);
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_ParseDatabaseText);

}  // namespace

BENCHMARK_MAIN();
