#pragma once
// A thin RAII layer over unixODBC with just what the gateway needs: a
// connection (open, state, close, execute a query as text or as a procedure,
// the driver's diagnostic records), a recordset whose rows are either all
// fetched when the query runs (so its record count is exact) or read as it
// moves (forward-only, so memory does not grow with the row count), and a
// command that calls a procedure with positional input parameters.
//
// Every failing ODBC call throws one DbException carrying a DbError; the
// callers (connections.cpp, procedures.cpp, the MT poller) catch it inside
// the operation that raised it. Nothing here logs.
//
// Threads: an object is used by one thread at a time (the gateway's locks
// see to that); different connections may be used from different threads.
// The ODBC environment is process-wide and created on first use.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brivane::db {

// One failed call, as callers see it. `code` is the SQLRETURN of the failing
// call (SQL_ERROR -1, SQL_INVALID_HANDLE -2), the source names the ODBC
// function (or the recordset operation), the description is the first
// diagnostic's text. Texts are UTF-8.
struct DbError {
  std::int32_t code = -1;
  std::string sqlState;  // five characters, or empty when nobody gave one
  std::string source;
  std::string description;
};

class DbException : public std::exception {
 public:
  explicit DbException(DbError error);
  const DbError& Error() const { return error_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  DbError error_;
  std::string what_;
};

// One diagnostic record of the driver or the driver manager.
struct ProviderError {
  std::int32_t number = 0;  // the native error number
  std::string sqlState;
  std::string description;  // UTF-8
};

// How a procedure is called: `{CALL name(?,...)}`, or for SQLite, where a
// procedure is a view with an INSTEAD OF INSERT trigger,
// `INSERT INTO name VALUES (?,...)`.
enum class ProcedureSyntax { kOdbcCall, kInsertIntoView };

enum class CommandType { kText, kStoredProc };

// The statement text that calls `name` with `parameterCount` markers. With
// kInsertIntoView, `rows` above 1 makes one insert of that many rows of
// markers (`VALUES (?,?),(?,?)`): one statement for several calls, each
// row firing the view's trigger in turn. kOdbcCall has one call per text.
std::string ProcedureCallText(std::string_view name, int parameterCount, ProcedureSyntax syntax,
                              int rows = 1);

// The process's ODBC environment (ODBC 3 behaviour); connections keep it alive.
class Environment {
 public:
  // Creates it on first call; throws DbException when the driver manager
  // cannot allocate it.
  static std::shared_ptr<Environment> Shared();
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  void* Handle() const { return henv_; }

 private:
  Environment() = default;
  void* henv_ = nullptr;
};

// What a value read from a row is. Integers of every width are kInt; exact
// numerics with a scale are kReal like floating point; dates, times and
// other types the driver renders as text are kOther.
enum class FieldKind { kNull, kBool, kInt, kReal, kText, kOther, kBinary };

class RowReader;

// The rows of one query with a current row: all fetched when it executed,
// or, from Connection::ExecuteForward, one row at a time as it moves (a
// forward-only recordset: its RecordCount is -1, it is on its first row when
// it opens, and MoveFirst after a MoveNext throws HY106).
// Column names are compared without regard to ASCII case. Reading a column
// that does not exist, reading with no current row or reading a value of a
// kind the getter cannot give throws DbException (source "Recordset").
class Recordset {
 public:
  Recordset() = default;
  Recordset(Recordset&&) noexcept = default;
  Recordset& operator=(Recordset&&) noexcept = default;

  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;
  ~Recordset();

  bool IsOpen() const { return open_; }
  bool IsForwardOnly() const { return forward_; }
  // The exact number of rows, or -1 for a forward-only recordset.
  int RecordCount() const { return forward_ ? -1 : static_cast<int>(rows_.size()); }
  void MoveFirst();
  bool Eof() const { return current_ >= rows_.size(); }
  // A forward-only recordset fetches the next row here; when its connection
  // was closed meanwhile (a reconnect) this throws 08003.
  void MoveNext();
  // Frees a forward-only recordset's statement at once.
  void Close();

  int FieldCount() const { return static_cast<int>(names_.size()); }
  const std::string& FieldName(int index) const;
  const std::vector<std::string>& ColumnNames() const { return names_; }
  bool HasField(std::string_view column) const;

  // The current row's value of a column.
  bool IsNull(std::string_view column) const;
  FieldKind Kind(std::string_view column) const;
  // NULL gives 0; integers and booleans give their low 32 bits.
  std::int32_t GetInt(std::string_view column) const;
  // NULL gives 0; integers and booleans give their whole 64 bits (an
  // unsigned value above INT64_MAX wraps, as the driver delivers it).
  std::int64_t GetInt64(std::string_view column) const;
  // NULL gives false; only a boolean column gives true.
  bool GetBool(std::string_view column) const;
  // NULL gives empty text; numbers, booleans ("1"/"0") and other kinds come
  // as the text the driver renders; binary values throw. GetText returns
  // GBK (characters GBK lacks become '?'), GetTextUtf16 the text as read.
  std::string GetText(std::string_view column) const;
  std::u16string GetTextUtf16(std::string_view column) const;

 private:
  friend class Connection;
  friend class Command;
  friend class RowReader;
  struct Cursor;
  struct Value {
    FieldKind kind = FieldKind::kNull;
    bool isUnsigned = false;  // kInt read from an unsigned column
    std::int64_t number = 0;  // kInt, kBool
    std::u16string text;      // kReal, kText, kOther
    std::string bytes;        // kBinary
  };
  const Value& At(std::string_view column, const char* operation) const;
  // A forward-only recordset read its last row: its statement is freed.
  void FinishForward();

  bool open_ = false;
  std::vector<std::string> names_;
  // A forward-only recordset holds only its current row here.
  std::vector<std::vector<Value>> rows_;
  std::size_t current_ = 0;
  // Set while a forward-only recordset's statement is open; shared with
  // the connection, which frees the statement when it closes first.
  std::shared_ptr<Cursor> cursor_;
  bool moved_ = false;
  bool forward_ = false;
};

// One connection to a data source. Open replaces an open link; Close
// frees the driver's connection and every statement prepared on it.
class Connection {
 public:
  explicit Connection(ProcedureSyntax syntax = ProcedureSyntax::kOdbcCall);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetProcedureSyntax(ProcedureSyntax syntax) { syntax_ = syntax; }
  ProcedureSyntax Syntax() const { return syntax_; }

  // Connects with a complete ODBC connection string (UTF-8), without prompt.
  void Open(const std::string& connectionString);
  // True between a successful Open and Close. A link the server dropped
  // still counts as open until a call on it fails.
  bool IsOpen() const { return hdbc_ != nullptr; }
  void Close() noexcept;

  // Runs a query: kText executes the text; kStoredProc calls the named
  // procedure without parameters (for SQLite: selects from the view).
  // Statements that return no rows give an open, empty recordset.
  Recordset Execute(std::string_view commandText, CommandType type = CommandType::kText);
  // Runs a query like Execute but returns a forward-only recordset whose
  // statement stays open until it reaches its end, closes, or this
  // connection closes. Other statements may run on this connection
  // meanwhile. A driver that allows only one active statement per
  // connection gets every row read at once, as Execute does.
  Recordset ExecuteForward(std::string_view commandText, CommandType type = CommandType::kText);

  // Manual-commit mode: with autocommit off, every statement joins one
  // transaction until EndTransaction. Turning autocommit back on commits
  // what is open (the ODBC rule). Both throw DbException on failure.
  void SetAutoCommit(bool on);
  void EndTransaction(bool commit);

  // The diagnostic records of the last failed operation on this connection.
  const std::vector<ProviderError>& Errors() const { return errors_; }

  // How many statements are prepared and kept for reuse (tests, benches).
  std::size_t PreparedCountForTest() const { return prepared_.size(); }

 private:
  friend class Command;
  friend class RowReader;
  struct Statement;
  // The statement prepared for this text, preparing it on first use.
  Statement& Prepared(const std::string& sql);
  void DropPrepared(const std::string& sql);
  // Fetches every row of the statement's current result set.
  Recordset ReadRows(void* stmt);
  std::string StatementText(std::string_view commandText, CommandType type) const;
  // How many statements the driver allows to be active at once (0: no limit).
  int ActiveStatementLimit();
  // Records the diagnostics of a handle and throws them as one error.
  [[noreturn]] void Fail(int rc, short handleType, void* handle, const char* source);
  void RequireOpen(const char* source);

  ProcedureSyntax syntax_;
  std::shared_ptr<Environment> env_;
  void* hdbc_ = nullptr;
  // Freed by Close before the connection handle.
  std::unordered_map<std::string, std::unique_ptr<Statement>> prepared_;
  // The open statements of forward-only recordsets, freed by Close.
  std::vector<std::weak_ptr<Recordset::Cursor>> cursors_;
  int activeLimit_ = -1;  // -1: not asked yet on this link
  std::vector<ProviderError> errors_;
};

// A procedure call with positional input parameters, appended in order.
// Integers bind as SQL_INTEGER (AppendInt64: SQL_BIGINT), texts as UTF-16 (SQL_WVARCHAR). The
// statement is prepared once per connection and procedure shape and reused
// until the connection is closed.
class Command {
 public:
  Command(Connection& connection, std::string procedureName);

  void AppendInt(std::int32_t value);
  void AppendInt64(std::int64_t value);
  void AppendText(std::u16string value);
  // Converts GBK text to UTF-16.
  void AppendTextGbk(std::string_view gbk);
  // Ends one call's parameters: those appended next are a further row of
  // one multi-row insert (kInsertIntoView only; Execute throws HY000 on a
  // connection of the other syntax). Every row must have as many parameters
  // as the first. Like a single call, a multi-row text is prepared once per
  // connection and kept, so a connection keeps one statement per row count
  // its batches use (their rows per insert at most, per procedure).
  void EndRow();

  // Executes the call; any rows it returns are discarded.
  void Execute();
  // Executes the call and returns the rows of its first result set that has
  // columns (an open, empty recordset when none has); later results are
  // read and discarded.
  Recordset Query();

 private:
  struct Shape {
    std::size_t width;
    int rows;
  };
  // The rows (the parameters split at each EndRow) and their common width;
  // HY000 when they differ in width, or when several rows meet a syntax
  // other than the insert into a view.
  Shape RowShape(const char* operation) const;
  // Binds every parameter in order: the first failing return code, or
  // SQL_SUCCESS.
  short BindAll(void* stmt);
  void Run(bool withRows, Recordset* rows);

  struct Parameter {
    bool isText = false;
    bool isBig = false;
    std::int32_t number = 0;
    std::int64_t bigNumber = 0;
    std::u16string text;
    std::int64_t indicator = 0;
  };
  Connection& connection_;
  std::string name_;
  std::vector<Parameter> parameters_;
  // The parameter count at each EndRow.
  std::vector<std::size_t> rowEnds_;
};

}  // namespace brivane::db
