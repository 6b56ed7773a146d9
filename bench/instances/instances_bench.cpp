// Rows per second with one, two and three brivane instances claiming rows
// (ClaimSubmits=1) from one database, each instance with its own
// brivane-smg. Prints, passes or fails nothing.
//
//   bench_instances [--rows N] [--speed-limit L] [--db mariadb|postgresql]
//
// For each database and instance count a fresh server and fresh processes
// are started; N rows (20,000) are inserted once every instance's links are
// up, and the clock runs from the first insert until every row has reached
// an SMG and left the Submit table (its outcome recorded in SubmitLog).
// MTSpeedLimit L (2,000) is the rows each pass claims and the segments per
// second each instance may send. Each line also gives the rows that never
// reached an SMG and the rows that reached one twice (both should be 0).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/claim_cluster.h"

using brivane::test::ClaimCluster;
using brivane::test::ClusterDb;
using brivane::test::ClusterDbName;
using brivane::test::ClusterOptions;

int main(int argc, char** argv) {
  int rows = 20000;
  int speedLimit = 2000;
  std::vector<ClusterDb> databases = {ClusterDb::kMariaDb, ClusterDb::kPostgreSql};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--rows" && hasValue) {
      rows = std::atoi(argv[++i]);
    } else if (arg == "--speed-limit" && hasValue) {
      speedLimit = std::atoi(argv[++i]);
    } else if (arg == "--db" && hasValue) {
      const std::string db = argv[++i];
      databases = {db == "postgresql" ? ClusterDb::kPostgreSql : ClusterDb::kMariaDb};
    } else {
      std::fprintf(stderr, "usage: %s [--rows N] [--speed-limit L] [--db mariadb|postgresql]\n",
                   argv[0]);
      return 2;
    }
  }
  if (rows <= 0 || speedLimit <= 0) return 2;

  std::printf("%d rows, MTSpeedLimit %d, one brivane-smg per instance\n", rows, speedLimit);
  for (ClusterDb db : databases) {
    for (int instances = 1; instances <= 3; ++instances) {
      ClusterOptions options;
      options.instances = instances;
      options.mtSpeedLimit = speedLimit;
      ClaimCluster cluster;
      std::string error;
      if (!cluster.Start(db, options, &error)) {
        std::printf("%s, %d instance(s): could not start: %s\n", ClusterDbName(db).c_str(),
                    instances, error.c_str());
        continue;
      }
      const auto start = std::chrono::steady_clock::now();
      cluster.InsertRows(0, rows);
      const bool done = cluster.WaitAllDone(rows, std::chrono::minutes(10));
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::string shares;
      for (int i = 0; i < instances; ++i)
        shares += (i ? ", " : "") + std::to_string(cluster.SubmitsAt(i));
      // The full-size run of the instance tests: every row once.
      const auto sent = cluster.SentBy();
      int twice = 0;
      for (const auto& entry : sent) twice += entry.second.size() > 1 ? 1 : 0;
      std::printf(
          "%-10s %d instance(s): %s%8.0f rows/s (%.1f s; sent by each: %s; rows never sent: %d, "
          "sent twice: %d)\n",
          ClusterDbName(db).c_str(), instances, done ? "" : "UNFINISHED ", rows / seconds, seconds,
          shares.c_str(), rows - static_cast<int>(sent.size()), twice);
      std::fflush(stdout);
    }
  }
  return 0;
}
