#include "db/odbc.h"

#include <langinfo.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "base/strings.h"
#include "base/text.h"

namespace brivane::db {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use 16-bit SQLWCHAR");
static_assert(sizeof(SQLLEN) == sizeof(std::int64_t));

// Texts longer than this many UTF-16 units bind as long data, which every
// driver accepts beyond the 4000-character limit of some servers' NVARCHAR.
constexpr std::size_t kLongTextUnits = 4000;

SQLWCHAR* W(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::vector<ProviderError> Diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
  std::vector<ProviderError> records;
  if (handle == nullptr) return records;
  for (SQLSMALLINT i = 1; i <= 32; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024];
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(handleType, handle, i, state, &native, message,
                                  static_cast<SQLSMALLINT>(std::size(message)), &length);
    if (!Succeeded(rc)) break;
    std::size_t units =
        std::min<std::size_t>(std::max<SQLSMALLINT>(length, 0), std::size(message) - 1);
    ProviderError record;
    record.number = native;
    record.sqlState = base::Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(state), 5));
    record.description =
        base::Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(message), units));
    records.push_back(std::move(record));
  }
  return records;
}

DbError ErrorFrom(SQLRETURN rc, const std::vector<ProviderError>& records, const char* source) {
  DbError error;
  error.code = rc;
  error.source = source;
  if (!records.empty()) {
    error.sqlState = records.front().sqlState;
    error.description = records.front().description;
  } else if (rc == SQL_INVALID_HANDLE) {
    error.description = "invalid handle";
  }
  return error;
}

// Errors of this layer itself (closed objects, unknown columns, wrong
// kinds) carry the SQLSTATE the standard gives such a condition.
[[noreturn]] void LayerError(const char* sqlState, std::string source, std::string description) {
  DbError error;
  error.code = SQL_ERROR;
  error.sqlState = sqlState;
  error.source = std::move(source);
  error.description = std::move(description);
  throw DbException(std::move(error));
}

// A statement handle that frees itself.
class StatementHandle {
 public:
  StatementHandle() = default;
  ~StatementHandle() { Reset(); }
  StatementHandle(const StatementHandle&) = delete;
  StatementHandle& operator=(const StatementHandle&) = delete;
  SQLHSTMT Get() const { return h_; }
  SQLHSTMT* Out() { return &h_; }
  void Reset() {
    if (h_ != nullptr) SQLFreeHandle(SQL_HANDLE_STMT, h_);
    h_ = nullptr;
  }

 private:
  SQLHSTMT h_ = nullptr;
};

// Reads the integer of an exact numeric of scale 0 from its text, keeping
// the low 64 bits of larger values. False when the text is not an integer.
bool ParseWideInteger(std::u16string_view text, std::int64_t* value) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  std::uint64_t magnitude = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i, ++digits) {
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - u'0');
  }
  // A driver may render the scale as ".0..." even for scale 0.
  if (i < text.size() && text[i] == u'.') {
    for (++i; i < text.size() && text[i] == u'0'; ++i) {
    }
  }
  while (i < text.size() && text[i] == u' ') ++i;
  if (digits == 0 || i != text.size()) return false;
  *value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return true;
}

}  // namespace

DbException::DbException(DbError error) : error_(std::move(error)) {
  what_ = error_.source + ": ";
  if (!error_.sqlState.empty()) what_ += "[" + error_.sqlState + "] ";
  what_ += error_.description;
}

std::string ProcedureCallText(std::string_view name, int parameterCount, ProcedureSyntax syntax,
                              int rows) {
  std::string markers;
  for (int i = 0; i < parameterCount; ++i) markers += i == 0 ? "?" : ",?";
  std::string text;
  if (syntax == ProcedureSyntax::kInsertIntoView) {
    text = "INSERT INTO ";
    text += name;
    if (parameterCount == 0) return text + " DEFAULT VALUES";
    text += " VALUES ";
    for (int row = 0; row < std::max(rows, 1); ++row) {
      if (row > 0) text += ',';
      text += "(" + markers + ")";
    }
  } else {
    text = "{CALL ";
    text += name;
    if (parameterCount > 0) text += "(" + markers + ")";
    text += "}";
  }
  return text;
}

// ---------------------------------------------------------------- Environment

std::shared_ptr<Environment> Environment::Shared() {
  static std::mutex mutex;
  static std::shared_ptr<Environment> shared;
  std::lock_guard lock(mutex);
  if (shared) return shared;
  // For a driver without Unicode entry points (the SQLite3 driver) the
  // driver manager converts our UTF-16 statement texts with iconv to the
  // locale's character set; under the "C" locale that is ASCII and it
  // silently keeps the low byte of each character. A UTF-8 character type
  // makes it hand such drivers UTF-8. Only LC_CTYPE changes, and our own
  // conversions name their encodings explicitly.
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
  std::shared_ptr<Environment> env(new Environment());
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env->henv_);
  if (!Succeeded(rc)) {
    env->henv_ = nullptr;
    throw DbException(ErrorFrom(rc, {}, "SQLAllocHandle"));
  }
  rc = SQLSetEnvAttr(env->henv_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                     0);
  if (!Succeeded(rc))
    throw DbException(ErrorFrom(rc, Diagnostics(SQL_HANDLE_ENV, env->henv_), "SQLSetEnvAttr"));
  shared = env;
  return shared;
}

Environment::~Environment() {
  if (henv_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, henv_);
}

// ------------------------------------------------------------------ Row reading

namespace {

enum class FetchAs { kBit, kSigned, kUnsigned, kWholeNumber, kReal, kText, kOther, kBinary };

struct ColumnInfo {
  FetchAs fetch = FetchAs::kOther;
};

FetchAs ClassifyColumn(SQLSMALLINT type, SQLSMALLINT scale, bool isUnsigned) {
  switch (type) {
    case SQL_BIT:
      return FetchAs::kBit;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return isUnsigned ? FetchAs::kUnsigned : FetchAs::kSigned;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return scale == 0 ? FetchAs::kWholeNumber : FetchAs::kReal;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return FetchAs::kReal;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return FetchAs::kText;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return FetchAs::kBinary;
    default:
      return FetchAs::kOther;
  }
}

}  // namespace

std::string Connection::StatementText(std::string_view commandText, CommandType type) const {
  if (type == CommandType::kText) return std::string(commandText);
  if (syntax_ == ProcedureSyntax::kInsertIntoView)
    return "SELECT * FROM " + std::string(commandText);
  return ProcedureCallText(commandText, 0, syntax_);
}

Recordset Connection::Execute(std::string_view commandText, CommandType type) {
  RequireOpen("Connection.Execute");
  errors_.clear();
  StatementHandle stmt;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, hdbc_, stmt.Out());
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_DBC, hdbc_, "SQLAllocHandle");
  std::u16string text = base::Utf8ToUtf16(StatementText(commandText, type));
  rc = SQLExecDirectW(stmt.Get(), W(text), static_cast<SQLINTEGER>(text.size()));
  if (!Succeeded(rc) && rc != SQL_NO_DATA) Fail(rc, SQL_HANDLE_STMT, stmt.Get(), "SQLExecDirect");

  return ReadRows(stmt.Get());
}

// Reads the rows of one result set: the column descriptions once, then a
// row at a time into a reused row. Failures throw through the connection,
// which keeps their diagnostics.
class RowReader {
 public:
  RowReader() = default;
  RowReader(Connection& connection, SQLHSTMT stmt) : connection_(&connection), stmt_(stmt) {}

  // Fills the recordset's column names; false when the result has none.
  bool Describe(Recordset& rs);
  // Reads the next row into `row`; false at the end of the rows.
  bool Fetch(std::vector<Recordset::Value>& row);

 private:
  [[noreturn]] void Fail(SQLRETURN rc, const char* source) {
    connection_->Fail(rc, SQL_HANDLE_STMT, stmt_, source);
  }
  bool ReadText(SQLUSMALLINT c, Recordset::Value& v);
  bool ReadBinary(SQLUSMALLINT c, Recordset::Value& v);

  Connection* connection_ = nullptr;
  SQLHSTMT stmt_ = nullptr;
  std::vector<ColumnInfo> info_;
};

bool RowReader::Describe(Recordset& rs) {
  SQLSMALLINT columns = 0;
  SQLRETURN rc = SQLNumResultCols(stmt_, &columns);
  if (!Succeeded(rc)) Fail(rc, "SQLNumResultCols");
  if (columns <= 0) return false;
  info_.assign(static_cast<std::size_t>(columns), ColumnInfo{});
  for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
    SQLWCHAR name[256];
    SQLSMALLINT nameLength = 0, dataType = 0, scale = 0, nullable = 0;
    SQLULEN size = 0;
    rc = SQLDescribeColW(stmt_, c, name, static_cast<SQLSMALLINT>(std::size(name)), &nameLength,
                         &dataType, &size, &scale, &nullable);
    if (!Succeeded(rc)) Fail(rc, "SQLDescribeCol");
    SQLLEN isUnsigned = SQL_FALSE;
    SQLColAttributeW(stmt_, c, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned);
    std::size_t units =
        std::min<std::size_t>(std::max<SQLSMALLINT>(nameLength, 0), std::size(name) - 1);
    rs.names_.push_back(
        base::Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(name), units)));
    info_[c - 1].fetch = ClassifyColumn(dataType, scale, isUnsigned == SQL_TRUE);
  }
  return true;
}

// Reads one column of the current row as UTF-16 text, in pieces when long.
bool RowReader::ReadText(SQLUSMALLINT c, Recordset::Value& v) {
  std::u16string out;
  SQLWCHAR buffer[2048];
  const std::size_t room = std::size(buffer) - 1;  // the driver adds a terminator
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN r = SQLGetData(stmt_, c, SQL_C_WCHAR, buffer, sizeof(buffer), &indicator);
    if (r == SQL_NO_DATA) break;
    if (!Succeeded(r)) Fail(r, "SQLGetData");
    if (indicator == SQL_NULL_DATA) return false;
    bool whole =
        indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) <= room;
    std::size_t units = whole ? static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) : room;
    out.append(reinterpret_cast<char16_t*>(buffer), units);
    if (whole) break;
  }
  // A driver may turn a row's invalid UTF-8 into an unpaired surrogate,
  // which would otherwise reach the SMG inside a UCS-2 submit.
  v.text = base::ValidUtf16(out);
  return true;
}

bool RowReader::ReadBinary(SQLUSMALLINT c, Recordset::Value& v) {
  std::string out;
  char buffer[4096];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN r = SQLGetData(stmt_, c, SQL_C_BINARY, buffer, sizeof(buffer), &indicator);
    if (r == SQL_NO_DATA) break;
    if (!Succeeded(r)) Fail(r, "SQLGetData");
    if (indicator == SQL_NULL_DATA) return false;
    bool whole = indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) <= sizeof(buffer);
    std::size_t bytes = whole ? static_cast<std::size_t>(indicator) : sizeof(buffer);
    out.append(buffer, bytes);
    if (whole) break;
  }
  v.bytes = std::move(out);
  return true;
}

bool RowReader::Fetch(std::vector<Recordset::Value>& row) {
  SQLRETURN rc = SQLFetch(stmt_);
  if (rc == SQL_NO_DATA) return false;
  if (!Succeeded(rc)) Fail(rc, "SQLFetch");
  row.assign(info_.size(), Recordset::Value{});
  for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(info_.size()); ++c) {
    Recordset::Value& v = row[c - 1];
    SQLLEN indicator = 0;
    bool present = true;
    switch (info_[c - 1].fetch) {
      case FetchAs::kBit: {
        unsigned char bit = 0;
        rc = SQLGetData(stmt_, c, SQL_C_BIT, &bit, sizeof(bit), &indicator);
        if (!Succeeded(rc)) Fail(rc, "SQLGetData");
        present = indicator != SQL_NULL_DATA;
        v.kind = FieldKind::kBool;
        v.number = bit != 0;
        break;
      }
      case FetchAs::kSigned:
      case FetchAs::kUnsigned: {
        bool isUnsigned = info_[c - 1].fetch == FetchAs::kUnsigned;
        std::int64_t number = 0;
        rc = SQLGetData(stmt_, c, isUnsigned ? SQL_C_UBIGINT : SQL_C_SBIGINT, &number,
                        sizeof(number), &indicator);
        if (!Succeeded(rc)) Fail(rc, "SQLGetData");
        present = indicator != SQL_NULL_DATA;
        v.kind = FieldKind::kInt;
        v.isUnsigned = isUnsigned;
        v.number = number;
        break;
      }
      case FetchAs::kWholeNumber:
        present = ReadText(c, v);
        if (ParseWideInteger(v.text, &v.number)) {
          v.kind = FieldKind::kInt;
          v.text.clear();
        } else {
          v.kind = FieldKind::kReal;
        }
        break;
      case FetchAs::kReal:
        present = ReadText(c, v);
        v.kind = FieldKind::kReal;
        break;
      case FetchAs::kText:
        present = ReadText(c, v);
        v.kind = FieldKind::kText;
        break;
      case FetchAs::kOther:
        present = ReadText(c, v);
        v.kind = FieldKind::kOther;
        break;
      case FetchAs::kBinary:
        present = ReadBinary(c, v);
        v.kind = FieldKind::kBinary;
        break;
    }
    if (!present) v = Recordset::Value{};
  }
  return true;
}

// The open statement of a forward-only recordset. The connection frees the
// handle (and sets `lost`) when it closes before the recordset does.
struct Recordset::Cursor {
  StatementHandle handle;
  RowReader reader;
  bool lost = false;
};

// ------------------------------------------------------------------ Recordset

Recordset::~Recordset() { Close(); }

void Recordset::MoveFirst() {
  if (!open_) LayerError("HY010", "Recordset.MoveFirst", "the recordset is closed");
  if (moved_ && forward_)
    LayerError("HY106", "Recordset.MoveFirst", "a forward-only recordset cannot move back");
  current_ = 0;
}

void Recordset::MoveNext() {
  if (!open_) LayerError("HY010", "Recordset.MoveNext", "the recordset is closed");
  if (Eof()) LayerError("24000", "Recordset.MoveNext", "the recordset is at its end");
  moved_ = true;
  if (!cursor_) {
    ++current_;
    return;
  }
  if (cursor_->lost)
    LayerError("08003", "Recordset.MoveNext", "the connection closed while the recordset was open");
  if (!cursor_->reader.Fetch(rows_.front())) FinishForward();
}

void Recordset::FinishForward() {
  rows_.clear();
  current_ = 0;
  // Freeing the statement ends its read, so a database that holds its
  // writes until every statement has finished (SQLite) commits them.
  if (cursor_) cursor_->handle.Reset();
  cursor_.reset();
}

void Recordset::Close() {
  if (cursor_) cursor_->handle.Reset();
  cursor_.reset();
  open_ = false;
  rows_.clear();
  names_.clear();
  current_ = 0;
}

const std::string& Recordset::FieldName(int index) const {
  if (index < 0 || index >= FieldCount()) {
    LayerError("07009", "Recordset.FieldName", "no field at index " + std::to_string(index));
  }
  return names_[static_cast<std::size_t>(index)];
}

bool Recordset::HasField(std::string_view column) const {
  return std::any_of(names_.begin(), names_.end(),
                     [&](const std::string& n) { return base::EqualsNoCase(n, column); });
}

const Recordset::Value& Recordset::At(std::string_view column, const char* operation) const {
  if (!open_) LayerError("HY010", operation, "the recordset is closed");
  if (Eof()) LayerError("24000", operation, "no current row");
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (base::EqualsNoCase(names_[i], column)) return rows_[current_][i];
  }
  LayerError("42S22", operation, "no column named '" + std::string(column) + "'");
}

bool Recordset::IsNull(std::string_view column) const {
  return At(column, "Recordset.IsNull").kind == FieldKind::kNull;
}

FieldKind Recordset::Kind(std::string_view column) const {
  return At(column, "Recordset.Kind").kind;
}

std::int32_t Recordset::GetInt(std::string_view column) const {
  const Value& v = At(column, "Recordset.GetInt");
  switch (v.kind) {
    case FieldKind::kNull:
      return 0;
    case FieldKind::kInt:
    case FieldKind::kBool:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(v.number));
    default:
      LayerError("07006", "Recordset.GetInt",
                 "column '" + std::string(column) + "' is not an integer");
  }
}

std::int64_t Recordset::GetInt64(std::string_view column) const {
  const Value& v = At(column, "Recordset.GetInt64");
  switch (v.kind) {
    case FieldKind::kNull:
      return 0;
    case FieldKind::kInt:
    case FieldKind::kBool:
      return v.number;
    default:
      LayerError("07006", "Recordset.GetInt64",
                 "column '" + std::string(column) + "' is not an integer");
  }
}

bool Recordset::GetBool(std::string_view column) const {
  const Value& v = At(column, "Recordset.GetBool");
  if (v.kind == FieldKind::kNull) return false;
  if (v.kind == FieldKind::kBool) return v.number != 0;
  LayerError("07006", "Recordset.GetBool", "column '" + std::string(column) + "' is not a boolean");
}

std::u16string Recordset::GetTextUtf16(std::string_view column) const {
  const Value& v = At(column, "Recordset.GetText");
  switch (v.kind) {
    case FieldKind::kNull:
      return {};
    case FieldKind::kBool:
      return v.number != 0 ? u"1" : u"0";
    case FieldKind::kInt: {
      std::string digits = v.isUnsigned ? std::to_string(static_cast<std::uint64_t>(v.number))
                                        : std::to_string(v.number);
      return std::u16string(digits.begin(), digits.end());
    }
    case FieldKind::kReal:
    case FieldKind::kText:
    case FieldKind::kOther:
      return v.text;
    case FieldKind::kBinary:
      break;
  }
  LayerError("07006", "Recordset.GetText", "column '" + std::string(column) + "' is binary");
}

std::string Recordset::GetText(std::string_view column) const {
  return base::Utf16ToGbk(GetTextUtf16(column));
}

// ----------------------------------------------------------------- Connection

struct Connection::Statement {
  StatementHandle handle;
};

Connection::Connection(ProcedureSyntax syntax) : syntax_(syntax) {}

Connection::~Connection() { Close(); }

void Connection::Open(const std::string& connectionString) {
  Close();
  errors_.clear();
  if (!env_) env_ = Environment::Shared();
  SQLHDBC hdbc = nullptr;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, env_->Handle(), &hdbc);
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_ENV, env_->Handle(), "SQLAllocHandle");
  std::u16string text = base::Utf8ToUtf16(connectionString);
  if (text.size() > 32767) text.resize(32767);
  rc = SQLDriverConnectW(hdbc, nullptr, W(text), static_cast<SQLSMALLINT>(text.size()), nullptr, 0,
                         nullptr, SQL_DRIVER_NOPROMPT);
  if (!Succeeded(rc)) {
    errors_ = Diagnostics(SQL_HANDLE_DBC, hdbc);
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
    throw DbException(ErrorFrom(rc, errors_, "SQLDriverConnect"));
  }
  hdbc_ = hdbc;
}

void Connection::Close() noexcept {
  // Statements first, then the link; a forward-only recordset still open
  // learns that its rows are gone.
  for (const std::weak_ptr<Recordset::Cursor>& weak : cursors_) {
    if (auto cursor = weak.lock()) {
      cursor->handle.Reset();
      cursor->lost = true;
    }
  }
  cursors_.clear();
  activeLimit_ = -1;
  prepared_.clear();
  if (hdbc_ == nullptr) return;
  SQLDisconnect(hdbc_);
  SQLFreeHandle(SQL_HANDLE_DBC, hdbc_);
  hdbc_ = nullptr;
}

void Connection::Fail(int rc, short handleType, void* handle, const char* source) {
  errors_ = Diagnostics(handleType, handle);
  throw DbException(ErrorFrom(static_cast<SQLRETURN>(rc), errors_, source));
}

void Connection::SetAutoCommit(bool on) {
  RequireOpen("Connection.SetAutoCommit");
  const SQLRETURN rc = SQLSetConnectAttr(hdbc_, SQL_ATTR_AUTOCOMMIT,
                                         reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(
                                             on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                                         SQL_IS_UINTEGER);
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_DBC, hdbc_, "SQLSetConnectAttr");
}

void Connection::EndTransaction(bool commit) {
  RequireOpen("Connection.EndTransaction");
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, hdbc_, commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_DBC, hdbc_, "SQLEndTran");
}

void Connection::RequireOpen(const char* source) {
  if (hdbc_ == nullptr) {
    errors_.clear();
    LayerError("08003", source, "the connection is closed");
  }
}

Connection::Statement& Connection::Prepared(const std::string& sql) {
  auto found = prepared_.find(sql);
  if (found != prepared_.end()) return *found->second;
  auto statement = std::make_unique<Statement>();
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, hdbc_, statement->handle.Out());
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_DBC, hdbc_, "SQLAllocHandle");
  std::u16string text = base::Utf8ToUtf16(sql);
  rc = SQLPrepareW(statement->handle.Get(), W(text), static_cast<SQLINTEGER>(text.size()));
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_STMT, statement->handle.Get(), "SQLPrepare");
  return *prepared_.emplace(sql, std::move(statement)).first->second;
}

void Connection::DropPrepared(const std::string& sql) { prepared_.erase(sql); }

Recordset Connection::ReadRows(void* handle) {
  Recordset rs;
  rs.open_ = true;
  RowReader reader(*this, handle);
  if (!reader.Describe(rs)) return rs;
  std::vector<Recordset::Value> row;
  while (reader.Fetch(row)) rs.rows_.push_back(std::move(row));
  return rs;
}

int Connection::ActiveStatementLimit() {
  if (activeLimit_ >= 0) return activeLimit_;
  SQLUSMALLINT limit = 0;
  const SQLRETURN rc =
      SQLGetInfoW(hdbc_, SQL_MAX_CONCURRENT_ACTIVITIES, &limit, sizeof(limit), nullptr);
  // A driver that does not say is taken at its most cautious.
  activeLimit_ = Succeeded(rc) ? limit : 1;
  return activeLimit_;
}

Recordset Connection::ExecuteForward(std::string_view commandText, CommandType type) {
  RequireOpen("Connection.ExecuteForward");
  if (ActiveStatementLimit() == 1) return Execute(commandText, type);
  errors_.clear();
  auto cursor = std::make_shared<Recordset::Cursor>();
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, hdbc_, cursor->handle.Out());
  if (!Succeeded(rc)) Fail(rc, SQL_HANDLE_DBC, hdbc_, "SQLAllocHandle");
  std::u16string text = base::Utf8ToUtf16(StatementText(commandText, type));
  rc = SQLExecDirectW(cursor->handle.Get(), W(text), static_cast<SQLINTEGER>(text.size()));
  if (!Succeeded(rc) && rc != SQL_NO_DATA)
    Fail(rc, SQL_HANDLE_STMT, cursor->handle.Get(), "SQLExecDirect");

  Recordset rs;
  rs.open_ = true;
  rs.forward_ = true;
  cursor->reader = RowReader(*this, cursor->handle.Get());
  if (!cursor->reader.Describe(rs)) return rs;
  rs.rows_.emplace_back();
  if (!cursor->reader.Fetch(rs.rows_.front())) {
    rs.rows_.clear();
    return rs;
  }
  cursors_.erase(
      std::remove_if(cursors_.begin(), cursors_.end(),
                     [](const std::weak_ptr<Recordset::Cursor>& c) { return c.expired(); }),
      cursors_.end());
  cursors_.push_back(cursor);
  rs.cursor_ = std::move(cursor);
  return rs;
}

// -------------------------------------------------------------------- Command

Command::Command(Connection& connection, std::string procedureName)
    : connection_(connection), name_(std::move(procedureName)) {}

void Command::AppendInt(std::int32_t value) {
  Parameter p;
  p.number = value;
  parameters_.push_back(std::move(p));
}

void Command::AppendInt64(std::int64_t value) {
  Parameter p;
  p.isBig = true;
  p.bigNumber = value;
  parameters_.push_back(std::move(p));
}

void Command::AppendText(std::u16string value) {
  Parameter p;
  p.isText = true;
  p.text = std::move(value);
  parameters_.push_back(std::move(p));
}

void Command::AppendTextGbk(std::string_view gbk) { AppendText(base::GbkToUtf16(gbk)); }

void Command::EndRow() { rowEnds_.push_back(parameters_.size()); }

void Command::Execute() { Run(false, nullptr); }

Recordset Command::Query() {
  Recordset rows;
  Run(true, &rows);
  return rows;
}

Command::Shape Command::RowShape(const char* operation) const {
  // Those parameters after the last EndRow make one more row. Every row is
  // as wide as the first.
  const std::size_t width = rowEnds_.empty() ? parameters_.size() : rowEnds_.front();
  int rowCount = 0;
  std::size_t start = 0;
  auto addRow = [&](std::size_t end) {
    if (end - start != width || (width == 0 && rowCount > 0))
      LayerError("HY000", operation, "rows of one insert with different parameter counts");
    start = end;
    ++rowCount;
  };
  for (std::size_t end : rowEnds_) addRow(end);
  if (rowCount == 0 || start != parameters_.size()) addRow(parameters_.size());
  if (rowCount > 1 && connection_.syntax_ != ProcedureSyntax::kInsertIntoView)
    LayerError("HY000", operation, "several rows in one call need the insert-into-view syntax");
  return {width, rowCount};
}

short Command::BindAll(void* stmt) {
  SQLUSMALLINT position = 1;
  for (Parameter& p : parameters_) {
    SQLRETURN rc;
    if (p.isText) {
      p.indicator = static_cast<std::int64_t>(p.text.size() * sizeof(SQLWCHAR));
      const SQLULEN units = std::max<SQLULEN>(p.text.size(), 1);
      rc = SQLBindParameter(stmt, position, SQL_PARAM_INPUT, SQL_C_WCHAR,
                            p.text.size() > kLongTextUnits ? SQL_WLONGVARCHAR : SQL_WVARCHAR, units,
                            0, p.text.data(), static_cast<SQLLEN>(p.indicator),
                            reinterpret_cast<SQLLEN*>(&p.indicator));
    } else if (p.isBig) {
      p.indicator = 0;
      rc = SQLBindParameter(stmt, position, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                            &p.bigNumber, 0, reinterpret_cast<SQLLEN*>(&p.indicator));
    } else {
      p.indicator = 0;
      rc = SQLBindParameter(stmt, position, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                            &p.number, 0, reinterpret_cast<SQLLEN*>(&p.indicator));
    }
    if (!Succeeded(rc)) return rc;
    ++position;
  }
  return SQL_SUCCESS;
}

void Command::Run(bool withRows, Recordset* rows) {
  const char* operation = withRows ? "Command.Query" : "Command.Execute";
  connection_.RequireOpen(operation);
  connection_.errors_.clear();
  const Shape shape = RowShape(operation);
  const std::string sql =
      ProcedureCallText(name_, static_cast<int>(shape.width), connection_.syntax_, shape.rows);
  // Kept per text: a connection holds one statement per row count its
  // batches use (see EndRow).
  SQLHSTMT stmt = connection_.Prepared(sql).handle.Get();

  // Diagnostics are read before the failed statement is dropped, so a
  // statement that went bad is prepared afresh on the next call.
  auto fail = [&](SQLRETURN rc, const char* source) {
    std::vector<ProviderError> records = Diagnostics(SQL_HANDLE_STMT, stmt);
    connection_.DropPrepared(sql);
    connection_.errors_ = records;
    throw DbException(ErrorFrom(rc, records, source));
  };
  if (const SQLRETURN bound = BindAll(stmt); !Succeeded(bound)) fail(bound, "SQLBindParameter");

  SQLRETURN rc = SQLExecute(stmt);
  if (!Succeeded(rc) && rc != SQL_NO_DATA) fail(rc, "SQLExecute");
  if (withRows) {
    // The first result that has columns; MariaDB may put a count before it.
    for (;;) {
      SQLSMALLINT columns = 0;
      rc = SQLNumResultCols(stmt, &columns);
      if (!Succeeded(rc)) fail(rc, "SQLNumResultCols");
      if (columns > 0) break;
      rc = SQLMoreResults(stmt);
      if (rc == SQL_NO_DATA) break;
      if (!Succeeded(rc)) fail(rc, "SQLMoreResults");
    }
    if (rc != SQL_NO_DATA) {
      try {
        *rows = connection_.ReadRows(stmt);
      } catch (const DbException&) {
        // The diagnostics are read; a statement left mid-fetch is not reused.
        connection_.DropPrepared(sql);
        throw;
      }
    } else {
      rows->open_ = true;
    }
  }
  // A procedure may answer with result sets (MariaDB always sends a status
  // result); they must be consumed before the statement can run again, and
  // an error raised late in the procedure shows up here.
  for (;;) {
    rc = SQLMoreResults(stmt);
    if (rc == SQL_NO_DATA) break;
    if (!Succeeded(rc)) fail(rc, "SQLMoreResults");
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
}

}  // namespace brivane::db
