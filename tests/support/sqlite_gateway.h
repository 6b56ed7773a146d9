#pragma once
// A test fixture with a fresh SQLite database from schema/sqlite.sql and an
// open database gateway on it. Header-only: programs that use it link the
// database layer themselves.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "db/connections.h"
#include "support/odbc_support.h"
#include "support/process.h"

namespace brivane::test {

class SqliteGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(database_.Create(&error)) << error;
    db::DbSettings settings;
    settings.dataSource = database_.OdbcDataSource();
    settings.dbType = "sqlite";
    gateway_ = std::make_unique<db::DbGateway>(settings);
    gateway_->OpenAllConnections();
    ASSERT_TRUE(gateway_->DatabaseConnected()) << "cannot open the SQLite test database";
  }

  // Runs a statement on DBConnection under its lock.
  void Exec(const std::string& sql) {
    std::lock_guard lock(gateway_->Lock(db::DbLink::kMain));
    gateway_->DBConnection().Execute(sql);
  }

  TempDir dir_{"brivane-sqlite"};
  SqliteDatabase database_{dir_.File("brivane.db")};
  std::unique_ptr<db::DbGateway> gateway_;
};

}  // namespace brivane::test
