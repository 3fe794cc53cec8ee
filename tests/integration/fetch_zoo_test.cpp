// A zoo of edge values read through every way the fetch commands have,
// compared cell by cell with what a plain SQLGetData loop reads: lengths
// around each column's width, values longer than their declared width,
// multi-byte text, NULLs, zero and escape bytes, integer and number
// extremes.  Per argument (whole values through PUT_STRING), the pairs
// record (escapes undone) and the block (through bound arrays and value by
// value; an item ends at the value's first zero byte) must each give the
// plain reading of every cell.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "conn/slots.h"
#include "odbc_api.h"
#include "stmt/columns.h"
#include "stmt/fetch_block.h"
#include "testbed.h"

namespace {

using testbed::command;
using Cell = std::optional<std::string>;  // nullopt: NULL
using Rows = std::vector<std::vector<Cell>>;

// How each data source spells the table and its values.
struct Zoo {
    const char* dsn;
    const char* columns;  // the table's columns after "id INTEGER, "
    // Its columns but the unbounded text: a result the block reads
    // through bound arrays.
    const char* bounded;
    // `n` copies of the (possibly multi-byte) text `s`.
    std::string (*repeat)(const std::string& s, int n);
    std::vector<std::string> rows;  // VALUES tuples without the id
};

std::string sqlite_repeat(const std::string& s, int n) {
    return "replace(hex(zeroblob(" + std::to_string(n) + ")), '00', '" + s +
           "')";
}
std::string sql_repeat(const std::string& s, int n) {
    return "repeat('" + s + "', " + std::to_string(n) + ")";
}

// Rows every source holds: each width met, one below, multi-byte text at
// the byte bound of the widest element (four bytes a character), NULLs,
// the integer and number extremes.
std::vector<std::string> common_rows(std::string (*rep)(const std::string&,
                                                        int)) {
    return {
        "NULL, NULL, NULL, NULL, NULL, NULL, NULL",
        "'', '', 0, 0, 0, 0, ''",
        rep("a", 2) + ", " + rep("b", 299) +
            ", 2147483647, 9223372036854775807, "
            "9999999999999999999999999999.9999999999, 1.5e300, " +
            rep("t", 5000),
        rep("a", 3) + ", " + rep("b", 300) +
            ", -2147483648, -9223372036854775807, "
            "-9999999999999999999999999999.9999999999, -2.5e-300, NULL",
        rep("\xC3\xA9", 3) + ", " + rep("\xE2\x82\xAC", 300) +
            ", -1, 1, 0.0000000001, 0.1, " + rep("\xC3\xBA", 700),
        rep("\xF0\x9F\x98\x80", 3) + ", " + rep("\xF0\x9F\x98\x80", 300) +
            ", 1, -1, -0.0000000001, -0.1, " + rep("\xF0\x9F\x98\x80", 3),
    };
}

Zoo sqlite_zoo() {
    Zoo z{"orv_sqlite",
          "n VARCHAR(3), w VARCHAR(300), i INTEGER, b BIGINT, "
          "d DECIMAL(38,10), f DOUBLE PRECISION, t TEXT",
          "id, n, w, i, b, d, f", sqlite_repeat, common_rows(sqlite_repeat)};
    // SQLite holds values to no width and text to no encoding: over-long
    // values in every column, zero and escape bytes.
    z.rows.push_back(sqlite_repeat("x", 4) + ", " + sqlite_repeat("y", 301) +
                     ", " + sqlite_repeat("z", 5000) +
                     ", 'a' || char(0) || "
                     "'b', " +
                     sqlite_repeat("q", 20000) + ", 'text', " +
                     sqlite_repeat("u", 3));
    z.rows.push_back(
        "CAST(x'FAFBFC' AS TEXT), CAST(x'41FA00FB42' AS TEXT), "
        "CAST(x'00' AS TEXT), 'x' || char(0), CAST(x'FBFB' AS TEXT), "
        "char(0), CAST(x'FA' AS TEXT) || char(0) || 'end'");
    z.rows.push_back(sqlite_repeat("x", 70000) + ", 'after', NULL, " +
                     sqlite_repeat("m", 300) + ", NULL, " +
                     sqlite_repeat("y", 16400) + ", 'z'");
    return z;
}

Zoo pg_zoo() {
    return {"orv_pg",
            "n VARCHAR(3), w VARCHAR(300), i INTEGER, b BIGINT, "
            "d DECIMAL(38,10), f DOUBLE PRECISION, t TEXT",
            "id, n, w, i, b, d, f", sql_repeat, common_rows(sql_repeat)};
}

Zoo maria_zoo() {
    Zoo z{"orv_maria",
          "n VARCHAR(3), w VARCHAR(300), i INTEGER, b BIGINT, "
          "d DECIMAL(38,10), f DOUBLE PRECISION, t TEXT, x BIT(1), "
          "y BIT(64), c CHAR(2)",
          "id, n, w, i, b, d, f, x, y, c", sql_repeat, common_rows(sql_repeat)};
    for (std::string& r : z.rows) r += ", NULL, NULL, NULL";
    z.rows.push_back("'a\\0b', 'c\\0', 1, 2, 3, 4, '\\0', 0, 0, 'ab'");
    z.rows.push_back("'x', 'y', 5, 6, 7, 8, 'z', 1, 258, 'ef'");
    z.rows.push_back("'p', 'q', 9, 10, 11, 12, 'r', b'1', 65, 'g'");
    return z;
}

class FetchZoo : public testbed::ConnectorTest,
                 public testing::WithParamInterface<Zoo (*)()> {
  protected:
    void SetUp() override {
        zoo = GetParam()();
        REQUIRE_DSN(zoo.dsn);
        slot = testbed::connect(host, zoo.dsn);
        ASSERT_NE(slot, 0);
    }
    void TearDown() override {
        orv::set_block_rowsets(true);
        testbed::ConnectorTest::TearDown();
    }
    void query(const std::string& q) {
        command(host, ORV_CMD_RESET_STATEMENT, slot);
        testbed::exec_ok(host, slot, q);
    }
    SQLHSTMT statement() const { return orv::slot_at(slot)->statement; }

    // The result as a plain loop of SQLFetch and SQLGetData (SQL_C_CHAR,
    // read on in pieces) reads it.
    Rows plain(const std::string& q) {
        query(q);
        SQLSMALLINT n = 0;
        EXPECT_TRUE(SQL_SUCCEEDED(SQLNumResultCols(statement(), &n)));
        columns = n;
        Rows rows;
        while (SQL_SUCCEEDED(SQLFetch(statement()))) {
            std::vector<Cell> row;
            for (SQLUSMALLINT k = 1; k <= n; ++k) row.push_back(read(k));
            rows.push_back(row);
        }
        return rows;
    }
    Cell read(SQLUSMALLINT k) {
        std::string value;
        char part[4096];
        for (;;) {
            SQLLEN length = 0;
            const SQLRETURN rc = SQLGetData(statement(), k, SQL_C_CHAR, part,
                                            sizeof part, &length);
            if (rc == SQL_NO_DATA) return value;
            EXPECT_TRUE(SQL_SUCCEEDED(rc)) << "column " << k;
            if (!SQL_SUCCEEDED(rc)) return value;
            if (length == SQL_NULL_DATA) return std::nullopt;
            const bool whole =
                length != SQL_NO_TOTAL && length < SQLLEN{sizeof part};
            value.append(part, whole ? static_cast<std::size_t>(length)
                                     : sizeof part - 1);
            if (whole) return value;
        }
    }

    // Per argument: every value whole through PUT_STRING.
    Rows per_argument(const std::string& q) {
        query(q);
        Rows rows;
        for (;;) {
            CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
            hdr.number = static_cast<double>(rows.size());
            std::vector<hostkit::ArgSpec> args(
                columns, hostkit::buffer(1, 2 | ARG_CALLBACK));
            hostkit::run(host, ORV_CMD_FETCH_ROW, hdr, args);
            if (hdr.number == 0.0) return rows;
            EXPECT_EQ(hdr.status, ORV_OK);
            std::vector<Cell> row;
            for (int a = 3; a < 3 + columns; ++a) {
                const std::vector<uint8_t>& b = host.put_strings[a];
                row.emplace_back(std::string(b.begin(), b.end()));
            }
            rows.push_back(row);
            if (rows.size() > 100) return rows;
        }
    }

    // The pairs record, its entries split and their escapes undone.
    Rows pairs(const std::string& q) {
        query(q);
        Rows rows;
        for (;;) {
            CmdHdr hdr =
                hostkit::header(static_cast<uint8_t>(slot), FETCH_PAIRS);
            hdr.number = static_cast<double>(rows.size());
            hostkit::run(host, ORV_CMD_FETCH_ROW, hdr,
                         {hostkit::buffer(sizeof(void*))});
            if (hdr.number == 0.0) return rows;
            EXPECT_EQ(hdr.status, ORV_OK);
            const auto* p = orv::slot_at(slot)->row_buffer;
            std::vector<Cell> row;
            for (int k = 0; k < columns; ++k) {
                const std::size_t n =
                    std::strlen(reinterpret_cast<const char*>(p));
                std::string entry(reinterpret_cast<const char*>(p), n);
                p += n + 1;
                std::string value;
                const std::string raw = entry.substr(entry.find('=') + 1);
                for (std::size_t i = 0; i < raw.size(); ++i) {
                    const auto c = static_cast<unsigned char>(raw[i]);
                    if (c == 0xFA) {
                        value += '\0';
                    } else if (c == 0xFB && i + 1 < raw.size()) {
                        value += static_cast<unsigned char>(raw[++i]) == 0xFB
                                     ? '\xFA'
                                     : '\xFB';
                    } else {
                        value += raw[i];
                    }
                }
                row.emplace_back(value);
            }
            rows.push_back(row);
            if (rows.size() > 100) return rows;
        }
    }

    // The blocks of command 25 to the end of the result: the items of the
    // text columns, `binary` telling which columns the block leaves out.
    Rows block(const std::string& q, bool rowsets,
               const std::vector<bool>& binary) {
        orv::set_block_rowsets(rowsets);
        query(q);
        Rows rows;
        for (int blocks = 0; blocks < 10; ++blocks) {
            CmdHdr hdr = hostkit::header(static_cast<uint8_t>(slot));
            hostkit::run(host, ORV_CMD_FETCH_BLOCK, hdr,
                         {hostkit::buffer(sizeof(void*))});
            EXPECT_EQ(hdr.status, ORV_OK);
            const auto* p =
                reinterpret_cast<const char*>(orv::slot_at(slot)->row_buffer);
            for (int k = 0; k < columns; ++k) p += std::strlen(p) + 1;
            for (double r = 0; r < hdr.number; ++r) {
                std::vector<Cell> row;
                for (int k = 0; k < columns; ++k) {
                    if (binary[k]) {
                        row.emplace_back(std::nullopt);
                        continue;
                    }
                    row.emplace_back(std::string(p));
                    p += std::strlen(p) + 1;
                }
                rows.push_back(row);
            }
            if (hostkit::sqlstate(hdr) != "01004") break;
        }
        orv::set_block_rowsets(true);
        return rows;
    }

    void compare_layouts(const std::string& q);

    Zoo zoo;
    int slot = 0;
    int columns = 0;
};

// Each cell as a layout gives it: NULL as the empty text, and for the
// block up to the first zero byte (binary columns left out).
Rows as_given(Rows rows, bool block, const std::vector<bool>& binary) {
    for (auto& row : rows)
        for (std::size_t k = 0; k < row.size(); ++k) {
            Cell& c = row[k];
            if (block && binary[k]) {
                c.reset();
                continue;
            }
            c = c.value_or("");
            if (block) c = c->substr(0, c->find('\0'));
        }
    return rows;
}

void expect_same(const Rows& want, const Rows& got, const char* layout) {
    SCOPED_TRACE(layout);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < want.size(); ++r) {
        ASSERT_EQ(got[r].size(), want[r].size()) << "row " << r + 1;
        for (std::size_t k = 0; k < want[r].size(); ++k)
            EXPECT_EQ(got[r][k], want[r][k])
                << "row " << r + 1 << " column " << k + 1;
    }
}

TEST_P(FetchZoo, EveryLayoutGivesWhatPlainReadsGive) {
    query(std::string("CREATE TEMPORARY TABLE fz_t (id INTEGER, ") +
          zoo.columns + ")");
    for (std::size_t i = 0; i < zoo.rows.size(); ++i)
        query("INSERT INTO fz_t VALUES (" + std::to_string(i + 1) + ", " +
              zoo.rows[i] + ")");
    for (const char* list : {"*", zoo.bounded})
        compare_layouts(std::string("SELECT ") + list +
                        " FROM fz_t ORDER BY id");
}

// Reads `q` plainly and through every layout and compares.
void FetchZoo::compare_layouts(const std::string& q) {
    SCOPED_TRACE(q);
    const Rows want = plain(q);
    ASSERT_EQ(want.size(), zoo.rows.size());
    // Which columns the block leaves out, from the column table.
    std::vector<bool> binary;
    query(q);
    EXPECT_EQ(orv::prepare_columns(*orv::slot_at(slot), columns), ORV_OK);
    for (int k = 1; k <= columns; ++k)
        binary.push_back(column_type_is_binary(
            orv::column_record(*orv::slot_at(slot), k)->type));

    expect_same(as_given(want, false, binary), per_argument(q), "per argument");
    expect_same(as_given(want, false, binary), pairs(q), "pairs");
    expect_same(as_given(want, true, binary), block(q, true, binary),
                "block through bound arrays");
    expect_same(as_given(want, true, binary), block(q, false, binary),
                "block value by value");
}

INSTANTIATE_TEST_SUITE_P(Drivers, FetchZoo,
                         testing::Values(&sqlite_zoo, &pg_zoo, &maria_zoo),
                         [](const testing::TestParamInfo<Zoo (*)()>& i) {
                             return std::string(i.param().dsn);
                         });

}  // namespace
