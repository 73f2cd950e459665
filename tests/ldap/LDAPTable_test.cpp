// Rows and tables in memory: lookups, the shared placeholders, copies and
// sorting. Reading and writing them is tested in LDAPSession_test.
#include "ldap/LDAPTable.h"

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/network/CaptureConsole.h"

namespace {

class TableTest : public ::testing::Test {
 protected:
  // A table with one row per key, each row holding its key as "k" and its
  // position as "n".
  static LDAPTable Keys(const std::vector<const char*>& keys) {
    LDAPTable t;
    for (size_t i = 0; i < keys.size(); ++i) {
      LDAPRow row;
      row.Field("k", "%s", keys[i]);
      row.Field("n", "%zu", i);
      t += row;
    }
    return t;
  }
  // Field `name` of every row, joined by blanks.
  static std::string Column(LDAPTable& t, const char* name) {
    std::string out;
    for (int i = 0; i < t.GetRowCount(); ++i) {
      out += std::string(i ? " " : "") + static_cast<char*>(t[i][name].value);
    }
    return out;
  }

  CaptureConsole console;
};

TEST_F(TableTest, RowFieldsAndPlaceholders) {
  LDAPRow row;
  row.fields.Append(new LDAPField("sn", "one"));
  row.fields.Append(new LDAPField("sn", "two"));
  LDAPField* x = row.Field("x", "%d", 5);
  EXPECT_EQ(x, &row.Get("x"));
  EXPECT_EQ(static_cast<int>(row["x"]), 5);
  EXPECT_FALSE(static_cast<bool>(row["x"]));
  row.Field("sn", "%s", "first");
  EXPECT_STREQ(row["sn"].value, "first") << "the first field of a name";
  row.Rename(row["sn"].name, "surname");
  EXPECT_FALSE(row.Has("sn"));
  EXPECT_STREQ(row["surname"].value, "first");

  LDAPField& missing = row.Get("nothing");
  missing.value = "abc";
  EXPECT_EQ(&row.Get("other"), &missing);
  EXPECT_STREQ(missing.value, "");
  EXPECT_TRUE(console.Has("LDAPRow Empty value has been changed to abc"));
  console.Clear();
  row.Get("again");
  EXPECT_TRUE(console.Empty()) << "warned only once";
}

// Whatever a caller writes into a placeholder, a later lookup (here in
// another table) hands out an empty one.
TEST_F(TableTest, PlaceholdersCarryNothingIntoLaterLookups) {
  const struct {
    const char* what;
    std::function<void(LDAPTable&)> write;
  } writes[] = {
      {"field value", [](LDAPTable& t) { t[0]["dn"].value = "cn=victim"; }},
      {"field name", [](LDAPTable& t) { t[0]["x"].name = "dn"; }},
      {"field flags",
       [](LDAPTable& t) {
         t[0]["x"].local = true;
         t[0]["x"].partial = true;
       }},
      {"row field", [](LDAPTable& t) { t[7].Field("dn", "cn=victim"); }},
  };
  for (const auto& w : writes) {
    LDAPTable one;
    LDAPTable other;
    w.write(one);
    LDAPRow& row = other[3];
    EXPECT_EQ(row.fields.Size(), 0) << w.what;
    LDAPField& dn = row.Get("dn");
    EXPECT_STREQ(dn.name, "") << w.what;
    EXPECT_STREQ(dn.value, "") << w.what;
    EXPECT_FALSE(dn.local || dn.partial) << w.what;
  }
}

TEST_F(TableTest, CopiesAreDeep) {
  LDAPTable t = Keys({"a", "b"});
  t[0].Get("k").local = true;
  t += t;  // each row once more
  LDAPTable u;
  u = t;
  t[0].Field("k", "changed");
  t.Flush();
  EXPECT_EQ(Column(u, "k"), "a b a b");
  EXPECT_TRUE(u[2]["k"].local);
  EXPECT_EQ(&u.Get(4), &u.Get(-1)) << "missing rows share the empty row";
  EXPECT_EQ(u.Find("k", "b"), &u[1]);
  EXPECT_EQ(u.Find("n", "7"), nullptr);
}

TEST_F(TableTest, SortOrders) {
  const std::vector<const char*> numbers = {"5", "40", "-2000000000",
                                            "2000000000"};
  const std::vector<const char*> names = {"bob", "Alice", "carol"};
  // Dates count before clock times; the year is optional.
  const std::vector<const char*> stamps = {"09:30 1/6/2024", "08:00   2/6/2024",
                                           "23:59 31/5/2024", "10:00 1/6"};
  const struct {
    const std::vector<const char*>* keys;
    const char* orderBy;
    const char* positions;  // the rows' original positions, in sorted order
  } cases[] = {
      {&numbers, "k", "3 1 0 2"},  {&numbers, "-k", "3 1 0 2"},
      {&numbers, "+k", "2 0 1 3"}, {&names, "$k", "2 0 1"},
      {&names, "+$k", "1 0 2"},    {&stamps, "+:k", "3 2 0 1"},
      {&stamps, "-:k", "1 0 2 3"},
  };
  for (const auto& c : cases) {
    LDAPTable t = Keys(*c.keys);
    t.Sort(c.orderBy);
    EXPECT_EQ(Column(t, "n"), c.positions) << c.orderBy;
  }
}

TEST_F(TableTest, SortKeepsEqualKeysAsTheTreeHoldsThem) {
  LDAPTable t = Keys({"1", "1", "1", "1", "2"});
  t.Sort("+k");
  // The first of the equal keys, then the others from the last to the second.
  EXPECT_EQ(Column(t, "n"), "0 3 2 1 4");
  // A missing field sorts as an empty text; no name means no sort.
  LDAPTable mixed = Keys({"b", "a"});
  mixed += LDAPRow();
  mixed.Sort("+$k");
  EXPECT_EQ(Column(mixed, "k"), " a b");
  mixed.Sort("");
  EXPECT_EQ(Column(mixed, "k"), " a b");
}

}  // namespace
