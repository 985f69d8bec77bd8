#include "net/sock/nmextstr.h"

#include <gtest/gtest.h>

namespace {

TExStringList ListOf(std::initializer_list<AnsiString> lines, bool sorted = false) {
    TExStringList list;
    list.SetSorted(sorted);
    for (const AnsiString& line : lines) list.Add(line);
    return list;
}

TEST(TExStringList, FindsTheFirstLineByNameIgnoringCase) {
    const TExStringList list = ListOf({"GET / HTTP/1.0", "host: a", "Accept: x", "HOST: b"});
    EXPECT_EQ(list.FindField("Host"), 1);
    EXPECT_EQ(list.FindField("accept"), 2);
    EXPECT_EQ(list.FindField("Missing"), -1);
}

// The name is the text before the first colon, whole: neither a prefix nor a line without a
// colon may match.
TEST(TExStringList, UnsortedSearchSkipsLinesWithoutColonAndMatchesWholeNames) {
    const TExStringList list = ListOf({"Host", "Hostname: a", "X-Host: b", "Host : c", "Host: d"});
    EXPECT_EQ(list.FindField("Host"), 4);
}

TEST(TExStringList, SetFieldReplacesAddsAndRemoves) {
    TExStringList list = ListOf({"GET / HTTP/1.0", "host: old", "Accept: x"});
    list.SetField("Host", "new");
    EXPECT_EQ(list[1], "Host: new");
    EXPECT_EQ(list.Count(), 3);

    list.SetField("User-Agent", "Sendrift");
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list[3], "User-Agent: Sendrift");

    list.SetField("host", "");
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.FindField("Host"), -1);
    list.SetField("Absent", "");
    EXPECT_EQ(list.Count(), 3);
}

// Non-ASCII names go through the locale-aware comparison.
TEST(TExStringList, FindsNamesInTheCodePage) {
    const TExStringList list = ListOf({"\xC9\xFD\xBC\xB6: v", "Ab: w"});  // 升级
    EXPECT_EQ(list.FindField("\xC9\xFD\xBC\xB6"), 0);
    EXPECT_EQ(list.FindField("aB"), 1);
}

TEST(TExStringList, SortedListSearchesByHalvingOverNames) {
    TExStringList list =
        ListOf({"Zeta: 1", "alpha: 2", "Host-Id: 3", "Host: 4", "mid: 5", "beta: 6"}, true);
    ASSERT_EQ(list.Count(), 6);
    for (int i = 1; i < list.Count(); ++i) {
        EXPECT_LT(strcasecmp(list[i - 1].substr(0, list[i - 1].find(':')).c_str(),
                             list[i].substr(0, list[i].find(':')).c_str()),
                  0);
    }
    for (const char* name : {"zeta", "ALPHA", "Host-Id", "host", "Mid", "beta"}) {
        const int index = list.FindField(name);
        ASSERT_NE(index, -1) << name;
        EXPECT_EQ(strcasecmp(list[index].substr(0, list[index].find(':')).c_str(), name), 0);
    }
    EXPECT_EQ(list.FindField("gamma"), -1);
    EXPECT_EQ(list.FindField("a"), -1);
    EXPECT_EQ(list.FindField("zz"), -1);

    list.SetField("Host", "changed");
    EXPECT_EQ(list[list.FindField("host")], "Host: changed");
    list.SetField("Delta", "7");
    EXPECT_NE(list.FindField("delta"), -1);
    EXPECT_EQ(list.Count(), 7);
}

TEST(TExStringList, EmptyListFindsNothing) {
    EXPECT_EQ(TExStringList().FindField("Host"), -1);
    EXPECT_EQ(ListOf({}, true).FindField("Host"), -1);
}

}  // namespace
