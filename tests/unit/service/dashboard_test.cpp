// The dashboard's pieces: rates from counter samples, the sampler's window
// and thread, the JSON document, and the fixed page and script.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "service/rate_sampler.h"
#include "service/status_pages.h"
#include "support/process.h"

namespace brivane::service {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

CounterSample At(std::chrono::steady_clock::time_point t, std::int64_t unix, std::uint32_t mt,
                 std::uint32_t mo, std::uint32_t reports) {
  CounterSample s;
  s.taken = t;
  s.unixSeconds = unix;
  s.mt = mt;
  s.mo = mo;
  s.reports = reports;
  return s;
}

TEST(Rates, PerMinuteBetweenConsecutiveSamplesAcrossACounterWrap) {
  const auto t = std::chrono::steady_clock::time_point{} + seconds(1000);
  std::vector<CounterSample> samples = {
      At(t, 100, 0, 5, 0),
      At(t + seconds(10), 110, 20, 5, 10),            // 20 MT in 10 s = 120/min
      At(t + seconds(10), 110, 25, 5, 10),            // same instant: no point
      At(t + seconds(40), 140, 55, 6, 11),            // 30 s
      At(t + seconds(100), 200, 55, 6, 0xFFFFFFF0u),  // report counter jumps below a wrap
      At(t + seconds(160), 260, 55, 6, 0x00000010u),  // ... and wraps: 0x20 in 60 s
  };
  auto rates = RatesOf(samples);
  ASSERT_EQ(rates.size(), 4u);
  EXPECT_EQ(rates[0].unixSeconds, 110);
  EXPECT_DOUBLE_EQ(rates[0].mtPerMinute, 120.0);
  EXPECT_DOUBLE_EQ(rates[0].moPerMinute, 0.0);
  EXPECT_DOUBLE_EQ(rates[0].reportsPerMinute, 60.0);
  EXPECT_EQ(rates[1].unixSeconds, 140);
  EXPECT_DOUBLE_EQ(rates[1].mtPerMinute, 60.0);  // 30 in 30 s, from the later same-instant one
  EXPECT_DOUBLE_EQ(rates[1].moPerMinute, 2.0);
  EXPECT_DOUBLE_EQ(rates[3].reportsPerMinute, 32.0);
  EXPECT_TRUE(RatesOf({}).empty());
  EXPECT_TRUE(RatesOf({samples[0]}).empty());
}

// The failure rates and the backlog the charts draw: failures per minute
// between samples, across a wrap like the others; the backlog as the later
// sample saw it, unknown (-1) kept unknown rather than drawn as 0.
TEST(Rates, FailuresPerMinuteAndTheBacklogOfTheLaterSample) {
  const auto t = std::chrono::steady_clock::time_point{} + seconds(1000);
  struct Case {
    std::uint32_t mtFailedBefore, mtFailedAfter, moFailedBefore, moFailedAfter;
    std::int64_t rowsBefore, rowsAfter, oldestAfter;
    double mtFailedPerMinute, moFailedPerMinute;
  };
  const Case cases[] = {
      {0, 0, 0, 0, -1, -1, -1, 0, 0},            // nothing failed, backlog unknown
      {3, 8, 0, 1, 10, 250, 95, 30, 6},          // 5 and 1 in 10 s
      {0xFFFFFFFEu, 2, 7, 7, 250, 0, 0, 24, 0},  // a wrapped counter; the backlog drained
      {4, 4, 0, 0, 120, -1, -1, 0, 0},           // the backlog could not be read
  };
  for (const Case& c : cases) {
    CounterSample a = At(t, 100, 0, 0, 0);
    a.mtFailed = c.mtFailedBefore;
    a.moForwardFailed = c.moFailedBefore;
    a.backlogRows = c.rowsBefore;
    CounterSample b = At(t + seconds(10), 110, 0, 0, 0);
    b.mtFailed = c.mtFailedAfter;
    b.moForwardFailed = c.moFailedAfter;
    b.backlogRows = c.rowsAfter;
    b.backlogOldestSeconds = c.oldestAfter;
    auto rates = RatesOf({a, b});
    ASSERT_EQ(rates.size(), 1u);
    EXPECT_DOUBLE_EQ(rates[0].mtFailedPerMinute, c.mtFailedPerMinute) << c.mtFailedAfter;
    EXPECT_DOUBLE_EQ(rates[0].moForwardFailedPerMinute, c.moFailedPerMinute);
    EXPECT_EQ(rates[0].backlogRows, c.rowsAfter);
    EXPECT_EQ(rates[0].backlogOldestSeconds, c.oldestAfter);
  }
}

TEST(DashboardJsonTest, ChartPointsCarryFailuresAndTheBacklogOrNull) {
  StatusPagesData d;
  RatePoint known{1700000010, 6, 0, 0, 30, 1.5, 250, 95};
  RatePoint unknown{1700000020, 0, 0, 0, 0, 0, -1, -1};
  d.rates = {known, unknown};
  const std::string json = DashboardJson(d);
  for (const char* part : {"{\"t\":1700000010,\"mt\":6.00,\"mo\":0.00,\"reports\":0.00,"
                           "\"mtFailed\":30.00,\"moFailed\":1.50,\"backlogRows\":250,"
                           "\"backlogOldest\":95}",
                           "{\"t\":1700000020,\"mt\":0.00,\"mo\":0.00,\"reports\":0.00,"
                           "\"mtFailed\":0.00,\"moFailed\":0.00,\"backlogRows\":null,"
                           "\"backlogOldest\":null}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
}

TEST(RateSamplerTest, KeepsOneHourOfSamplesOrAtMostItsCap) {
  RateSampler tenSeconds;
  EXPECT_EQ(tenSeconds.Interval(), milliseconds(10000));
  EXPECT_EQ(tenSeconds.Capacity(), 361u);
  EXPECT_EQ(RateSampler(seconds(60)).Capacity(), 61u);
  EXPECT_EQ(RateSampler(milliseconds(100)).Capacity(), RateSampler::kMaxSamples);

  RateSampler minute(seconds(60));
  const auto t = std::chrono::steady_clock::now();
  for (std::uint32_t i = 0; i < 100; ++i) minute.Record(At(t + seconds(60 * i), i, i, 0, 0));
  auto kept = minute.Samples();
  ASSERT_EQ(kept.size(), 61u);
  EXPECT_EQ(kept.front().mt, 39u);  // the oldest went first
  EXPECT_EQ(kept.back().mt, 99u);
}

TEST(RateSamplerTest, ThreadSamplesFromTheFirstMomentOnAndStopsPromptly) {
  RateSampler sampler(milliseconds(20));
  std::atomic<std::uint32_t> counter{0};
  sampler.Start([&] {
    CounterSample s;
    s.mt = counter += 3;
    return s;
  });
  ASSERT_TRUE(test::WaitFor([&] { return sampler.Samples().size() >= 4; }, seconds(10)));
  const auto begin = std::chrono::steady_clock::now();
  sampler.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, seconds(2));
  auto samples = sampler.Samples();
  EXPECT_EQ(samples.front().mt, 3u) << "the first sample is taken at start";
  for (std::size_t i = 1; i < samples.size(); ++i) {
    EXPECT_EQ(samples[i].mt, samples[i - 1].mt + 3);
    EXPECT_GT(samples[i].taken, samples[i - 1].taken);
    EXPECT_GT(samples[i].unixSeconds, 1600000000);
  }
  const auto count = samples.size();
  EXPECT_EQ(sampler.Samples().size(), count) << "no sample after Stop";
}

TEST(RateSamplerTest, AReaderThatThrowsCostsOneSampleNotTheThread) {
  RateSampler sampler(milliseconds(10));
  std::atomic<int> calls{0};
  sampler.Start([&]() -> CounterSample {
    if (++calls == 2) throw std::runtime_error("status block gone");
    return {};
  });
  ASSERT_TRUE(test::WaitFor([&] { return sampler.Samples().size() >= 3; }, seconds(10)));
  sampler.Stop();
  EXPECT_EQ(sampler.Samples().size() + 1, static_cast<std::size_t>(calls.load()));
}

TEST(DashboardJsonTest, StringsAreEscapedAndKeptInertInsideAPage) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c\nd\t"), "\"a\\\"b\\\\c\\nd\\t\"");
  EXPECT_EQ(JsonString("</script><b>&"), "\"\\u003c/script\\u003e\\u003cb\\u003e\\u0026\"");
  EXPECT_EQ(JsonString(std::string("\x01\x7f", 2)), "\"\\u0001\\u007f\"");
  EXPECT_EQ(JsonString("中国移动"), "\"中国移动\"");
  // Bytes that are not UTF-8 become code points, so the document stays valid.
  EXPECT_EQ(JsonString("\xff\xc3("), "\"\\u00ff\\u00c3(\"");
}

TEST(DashboardJsonTest, PoolsCountTheirLinksAndEveryFieldIsThere) {
  StatusPagesData d;
  d.program = "brivane";
  d.version = "7.1.0";
  d.host = "host\"1";
  d.now = 1700000000;
  d.uptimeSeconds = 75;
  d.started = true;
  d.databaseConnected = true;
  d.statusBlockMapped = true;
  d.startTime = 1699999990;
  d.pools = {{"MT", cmpp::kConnMt, 2, 7891},
             {"MO", cmpp::kConnMo, 0, 7890},
             {"MTAndMO", cmpp::kConnMtMo, 1, 7892}};
  cmpp::LinkState a;
  a.token = "MT-1";
  a.connType = cmpp::kConnMt;
  a.port = 7891;
  a.loggedIn = true;
  a.running = true;
  a.unanswered = 2;
  a.counters = {5, 1, 4, 0, 0, 3};
  cmpp::LinkState b = a;
  b.token = "MT-2";
  b.loggedIn = false;
  d.links = {a, b};
  d.status = {{"mo_received", 0x2C, false, 9, ""}, {"started", 0x64, true, 1, ""}};
  d.sampleMs = 10000;
  d.historySeconds = 3600;
  d.rates = {{1699999990, 12.5, 0, 1.0 / 3}};

  const std::string json = DashboardJson(d);
  for (const char* part :
       {"\"program\":\"brivane\"", "\"version\":\"7.1.0\"", "\"host\":\"host\\\"1\"",
        "\"now\":1700000000", "\"uptimeSeconds\":75", "\"started\":true",
        "\"databaseConnected\":true", "\"statusBlock\":true", "\"startTime\":1699999990",
        "{\"name\":\"MT\",\"connType\":1,\"configured\":2,\"port\":7891,\"present\":2,"
        "\"loggedIn\":1}",
        "{\"name\":\"MO\",\"connType\":0,\"configured\":0,\"port\":7890,\"present\":0,"
        "\"loggedIn\":0}",
        "{\"token\":\"MT-1\",\"pool\":\"MT\",\"port\":7891,\"loggedIn\":true,\"running\":true,"
        "\"unanswered\":2,\"mtOk\":5,\"mtFail\":1,\"respOk\":4,\"respFail\":0,\"mo\":0,\"sr\":3}",
        "\"loggedIn\":false", "{\"name\":\"mo_received\",\"offset\":44,\"flag\":false,\"value\":9}",
        "{\"name\":\"started\",\"offset\":100,\"flag\":true,\"value\":1}", "\"sampleMs\":10000",
        "\"historySeconds\":3600",
        "\"rates\":[{\"t\":1699999990,\"mt\":12.50,\"mo\":0.00,\"reports\":0.33,"
        "\"mtFailed\":0.00,\"moFailed\":0.00,\"backlogRows\":null,\"backlogOldest\":null}]"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.back(), '}');

  StatusPagesData empty;
  EXPECT_NE(DashboardJson(empty).find("\"pools\":[],\"links\":[],\"status\":[]"),
            std::string::npos);
}

TEST(DashboardJsonTest, BacklogIsNullWhileUnknownAndItsFiguresOnceRead) {
  struct Case {
    std::int64_t rows, oldest;
    std::uint64_t inFlight, unrecorded;
    const char* expected;
  };
  const Case cases[] = {
      {-1, -1, 0, 0,
       "\"backlog\":{\"rows\":null,\"oldestSeconds\":null,\"inFlight\":0,\"unrecorded\":0}"},
      {0, 0, 0, 0, "\"backlog\":{\"rows\":0,\"oldestSeconds\":0,\"inFlight\":0,\"unrecorded\":0}"},
      {1200, 3725, 16, 2,
       "\"backlog\":{\"rows\":1200,\"oldestSeconds\":3725,\"inFlight\":16,\"unrecorded\":2}"},
  };
  for (const Case& c : cases) {
    StatusPagesData d;
    d.backlogRows = c.rows;
    d.backlogOldestSeconds = c.oldest;
    d.inFlight = c.inFlight;
    d.unrecorded = c.unrecorded;
    EXPECT_NE(DashboardJson(d).find(c.expected), std::string::npos) << DashboardJson(d);
  }
}

TEST(DashboardPageTest, PageAndScriptLoadNothingFromElsewhereAndInsertNoMarkup) {
  const std::string& page = DashboardPage();
  const std::string& script = DashboardScript();
  // Its style from its own sheet, by a relative address, and nothing else.
  EXPECT_NE(page.find("<link rel=\"stylesheet\" href=\"dashboard.css\">"), std::string::npos);
  EXPECT_EQ(page.find("<style"), std::string::npos);
  EXPECT_NE(DashboardStyle().find(".bad{"), std::string::npos);
  // The only script is our own, by a relative address; no inline script or
  // handler attribute that the page's policy would have to allow.
  std::regex scriptTag("<script[^>]*>");
  auto tags = std::distance(std::sregex_iterator(page.begin(), page.end(), scriptTag),
                            std::sregex_iterator());
  EXPECT_EQ(tags, 1);
  EXPECT_NE(page.find("<script src=\"dashboard.js\"></script>"), std::string::npos);
  EXPECT_EQ(std::regex_search(page, std::regex("\\son[a-z]+=")), false);
  for (const std::string* text : {&page, &script, &DashboardStyle()}) {
    // The SVG namespace name is an identifier, never fetched.
    std::string rest = std::regex_replace(*text, std::regex("http://www\\.w3\\.org/2000/svg"), "");
    EXPECT_EQ(rest.find("http:"), std::string::npos);
    EXPECT_EQ(rest.find("https:"), std::string::npos);
    EXPECT_EQ(rest.find("//cdn"), std::string::npos);
    EXPECT_EQ(rest.find("@import"), std::string::npos);
  }
  for (const char* unsafe :
       {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "new Function"})
    EXPECT_EQ(script.find(unsafe), std::string::npos) << unsafe;
  // Its data from its own origin, by a path relative to the page.
  EXPECT_NE(script.find("new URL('dashboard.json', location.origin + location.pathname)"),
            std::string::npos);
  for (const char* id : {"id=\"chart\"", "id=\"failures-chart\"", "id=\"backlog-chart\"",
                         "id=\"oldest-chart\"", "id=\"links\"", "id=\"pools\"", "id=\"status\""})
    EXPECT_NE(page.find(id), std::string::npos) << id;
}

TEST(DashboardPageTest, PoolNames) {
  EXPECT_STREQ(PoolName(cmpp::kConnMo), "MO");
  EXPECT_STREQ(PoolName(cmpp::kConnMt), "MT");
  EXPECT_STREQ(PoolName(cmpp::kConnMtMo), "MTAndMO");
  EXPECT_STREQ(PoolName(7), "?");
}

}  // namespace
}  // namespace brivane::service
