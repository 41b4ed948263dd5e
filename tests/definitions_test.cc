// Two sets of control files read into two Definitions held at once in one
// process: each keeps its own distributors, settings, dictionary, cursors and
// percent cursor, and a cursor of one runs on that one's database and reports
// to that one's collector distributor while the other set lives on untouched.
#include "ctl/definitions.h"

#include <gtest/gtest.h>

#include <string>

#include "ctl/control_parse.h"
#include "exec/cursor_data.h"
#include "exec/dynamic_fetch.h"
#include "exec/percent_cursor.h"
#include "session/database.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

// One set of control files and the SQLite database its collector reads.
struct ControlSet {
  const char* process;
  const char* dict;
  const char* collect;
  const char* database_sql;
};

const ControlSet kSales = {
    "process collector;\ntype local;\ninterval 60;\nsleep 5;\nend;\n",
    "name REGION;\ntype char(8);\ninitial 'NORTH';\nend;\n",
    "cursor SALES;\nINSERT INTO T (ITEM, QTY) VALUES (:ITEM, :INT!QTY);\ninterval 60;\n"
    "insert_select SELECT item AS ITEM, qty AS QTY FROM sales ORDER BY item;\nend;\n",
    "CREATE TABLE sales (item VARCHAR2(6), qty NUMBER);"
    "INSERT INTO sales VALUES ('apple', 3), ('pear', 5);",
};

const ControlSet kStock = {
    "process collector;\ntype local;\ninterval 120;\nsleep 7;\n"
    "process evaluator;\ntype local;\ninterval 300;\nend;\n",
    "name SHELF;\ntype integer;\ninitial 12;\nend;\n",
    "cursor STOCK;\nINSERT INTO T (BIN) VALUES (:BIN);\ninterval 60;\n"
    "insert_select SELECT bin AS BIN FROM stock;\nend;\n",
    "CREATE TABLE stock (bin VARCHAR2(4));"
    "INSERT INTO stock VALUES ('B7');",
};

class TwoDefinitionsTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_database_state(); }
  void TearDown() override { reset_database_state(); }

  // Reads the distributors and the dictionary of `set` into `defs`, with its
  // collector naming a fresh database file `file`.
  void read(Definitions& defs, const ControlSet& set, const std::string& file) {
    ASSERT_EQ(parse_distributor_text(defs, set.process), 0) << log_.text();
    ASSERT_EQ(parse_dict_text(defs, set.dict), 0) << log_.text();
    // As start-up does with the server id setting.
    defs.collector_at->server_id = dir_.file(file);
    defs.collector_at->type = 2;
    testing::run_sql(defs.collector_at->server_id, set.database_sql);
  }

  // Parses the cursors of `set` against `defs` and runs `name` once; the
  // cursor, with its rows stored.
  curs& run(Definitions& defs, const ControlSet& set, const std::string& name) {
    EXPECT_EQ(parse_curs_text(defs, set.collect), 0) << log_.text();
    curs* c = defs.find_cursor(name);
    if (c == nullptr) {
      ADD_FAILURE() << "no cursor " << name << "\n" << log_.text();
      std::abort();
    }
    EXPECT_EQ(c->collector, defs.collector_at);
    EXPECT_EQ(get_cursor_data(0, *c), 0) << log_.text();
    return *c;
  }

  testing::TempDir dir_;
  testing::LogCapture log_;
};

TEST_F(TwoDefinitionsTest, EachSetKeepsItsOwnDistributorsAndDictionary) {
  Definitions sales, stock;
  read(sales, kSales, "sales.db");
  read(stock, kStock, "stock.db");

  ASSERT_EQ(sales.distrib_anchor.size(), 1u);
  ASSERT_EQ(stock.distrib_anchor.size(), 2u);
  EXPECT_EQ(sales.collector_at->interval, 60);
  EXPECT_EQ(stock.collector_at->interval, 120);
  EXPECT_EQ(sales.sleep_time, 5);
  EXPECT_EQ(stock.sleep_time, 7);
  EXPECT_FALSE(sales.have_evaluator);
  EXPECT_TRUE(stock.have_evaluator);
  ASSERT_NE(sales.find_dict_element("REGION"), nullptr);
  EXPECT_EQ(sales.find_dict_element("REGION")->initial, "   NORTH");
  EXPECT_EQ(sales.find_dict_element("SHELF"), nullptr);
  ASSERT_NE(stock.find_dict_element("SHELF"), nullptr);
  EXPECT_EQ(stock.find_dict_element("SHELF")->initial, "12");
  EXPECT_EQ(stock.find_dict_element("REGION"), nullptr);
}

TEST_F(TwoDefinitionsTest, ACursorOfEachSetReadsThatSetsDatabase) {
  Definitions sales, stock;
  read(sales, kSales, "sales.db");
  read(stock, kStock, "stock.db");

  const curs& s = run(sales, kSales, "SALES");
  ASSERT_EQ(s.stored.count(), 2);
  EXPECT_EQ(testing::row_text(s, s.stored.first()).substr(0, 6), "apple ");
  EXPECT_EQ(sales.collector_at->status, "GOOD");
  EXPECT_EQ(stock.collector_at->status, "") << "the other set's collector did not run";

  // The session belongs to the process: the next set's cursor logs on anew.
  end_session();
  const curs& t = run(stock, kStock, "STOCK");
  ASSERT_EQ(t.stored.count(), 1);
  EXPECT_EQ(testing::row_text(t, t.stored.first()).substr(0, 2), "B7");
  EXPECT_EQ(stock.collector_at->status, "GOOD");

  // Parsing and running the second set left the first one's cursor and rows alone.
  ASSERT_EQ(sales.find_cursor("SALES"), &s);
  ASSERT_EQ(s.stored.count(), 2);
  EXPECT_EQ(testing::row_text(s, s.stored.first()).substr(0, 6), "apple ");

  // And the first set's cursor runs again while the second set is held.
  end_session();
  curs& again = *sales.find_cursor("SALES");
  testing::run_sql(sales.collector_at->server_id, "INSERT INTO sales VALUES ('fig', 1);");
  EXPECT_EQ(get_cursor_data(0, again), 0) << log_.text();
  EXPECT_EQ(again.rows, 3) << "the run read the first set's database";
  ASSERT_EQ(t.stored.count(), 1) << "the other set's cursor kept its rows";
  EXPECT_EQ(stock.find_cursor("STOCK"), &t);
}

TEST_F(TwoDefinitionsTest, NamesAndPercentVariablesResolveWithinTheirOwnSet) {
  Definitions sales, stock;
  read(sales, kSales, "sales.db");
  read(stock, kStock, "stock.db");
  ASSERT_EQ(parse_curs_text(sales, kSales.collect), 0) << log_.text();
  ASSERT_EQ(parse_curs_text(stock, kStock.collect), 0) << log_.text();
  ASSERT_EQ(create_percent_cursor(sales), 0);
  ASSERT_EQ(create_percent_cursor(stock), 0);

  EXPECT_EQ(sales.find_cursor("STOCK"), nullptr);
  EXPECT_EQ(stock.find_cursor("SALES"), nullptr);
  EXPECT_EQ(sales.find_cursor("SALES")->owning_set, &sales);
  EXPECT_EQ(stock.find_cursor("STOCK")->owning_set, &stock);
  EXPECT_NE(find_pcnt_col(sales, "%sqlcode_SALES"), nullptr);
  EXPECT_EQ(find_pcnt_col(sales, "%sqlcode_STOCK"), nullptr);
  EXPECT_NE(find_pcnt_col(stock, "%sqlcode_STOCK"), nullptr);
  EXPECT_EQ(find_pcnt_col(stock, "%sqlcode_SALES"), nullptr);
  EXPECT_NE(sales.percent_cursor, stock.percent_cursor);
}

}  // namespace
}  // namespace qrx
