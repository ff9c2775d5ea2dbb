// Runs the kestrel-phones program on small tables and checks what it prints
// and how it exits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "engine/vt/pho_table.h"
#include "tests/support/tool_run.h"
#include "tests/support/pho_builder.h"

namespace __kestrel4__ {
namespace {

using testing_support::ToolRun;

ToolRun Tool(const std::vector<std::string>& args) { return testing_support::RunTool(KESTREL_PHONES_BIN, args); }

int Lines(const std::string& s) { return testing_support::CountLines(s); }

using testing_support::PhoTableBuilder;
using testing_support::PhoTableBytes;
using testing_support::WriteBytes;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/kp_" + name + "_" + std::to_string(getpid());
}

TEST(KestrelPhonesTest, HelpAndUsageErrors) {
  ToolRun r = Tool({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: kestrel-phones"), std::string::npos);
  EXPECT_EQ(Tool({"graph", "--help"}).status, 0);
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"frob"}, {"info"}, {"convert", "a", "b"}}) {
    r = Tool(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
  }
}

TEST(KestrelPhonesTest, ConvertThenInfo) {
  const std::string phones = TempPath("phones"), models = TempPath("models"), tris = TempPath("tris"),
                    out = TempPath("out.bin");
  ASSERT_TRUE(WriteBytes(phones, "sil\nxa\nyb_E\n"));
  ASSERT_TRUE(WriteBytes(models, "s 3 1 2 3\nx 3 4 5 6\ny 3 7 8 9\n"));
  ASSERT_TRUE(WriteBytes(tris, "sil-x1+sil x\nx1-y2_E+sil y\nsil-zz+sil s\n"));
  ToolRun r = Tool({"convert", phones, models, tris, out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("3 phones, 3 models, 27 triphones"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("note: 1 triphones of"), std::string::npos) << r.out;

  ZPhoTable direct, converted;
  ASSERT_EQ(direct.LoadOldTable(phones.c_str(), models.c_str(), tris.c_str()), 0);
  ASSERT_EQ(converted.LoadNewTable(out.c_str()), 0);
  EXPECT_EQ(converted.vecPhoName, (std::vector<std::string>{"sil", "x1", "y2_E"}));
  EXPECT_EQ(std::vector<int>(converted.pTriRow, converted.pTriRow + 27),
            std::vector<int>(direct.pTriRow, direct.pTriRow + 27));

  r = Tool({"info", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "phones: 3\nmodels: 3\ntriphones: 27 (2 with a model)\nhighest state id: 9\n"
            "phone 0: sil\nphone 1: x1\nphone 2: y2_E\n");

  // A failed conversion: one line naming the file and the reason.
  ASSERT_TRUE(WriteBytes(models, "s 3 1 two 3\n"));
  r = Tool({"convert", phones, models, tris, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("state id two of model s"), std::string::npos) << r.err;
}

TEST(KestrelPhonesTest, GraphShowsStatesAndRefusals) {
  PhoTableBuilder b({"sil", "a", "b"});
  b.ContextFree();
  const std::string table = TempPath("graph.bin");
  ASSERT_TRUE(b.Write(table));
  ToolRun r = Tool({"graph", table, "a|# b|#", "--type", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("word type 2, plain phones, last phone followed by sil\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("positions 2, states 6, blocks 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("position 2: flags 14 (block-start word-end block-end), 1 alternative\n"
                       "  alternative 0: ids 7 8 9\n"
                       "  state 3 (sub 0): flags 4 (block-start), ids 7, prev 3 2\n"),
            std::string::npos)
      << r.out;

  // A position no triphone covers: the graph is shown, and the refusal is
  // the one line on standard error.
  r = Tool({"graph", table, "a # b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("position 1: flags 5 (word-start block-start), 0 alternatives"), std::string::npos) << r.out;
  EXPECT_EQ(r.err,
            "kestrel-phones: the engine would refuse this word: phone position 1 has no state id (no triphone of the "
            "table covers it)\n");
  r = Tool({"graph", table, "a qq|#"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("note: phone qq is not in the table and reads as phone 0 (sil)"), std::string::npos) << r.out;

  // A broken table.
  ASSERT_TRUE(WriteBytes(table, PhoTableBytes(2, {"sil", "a"}, 1, {1, 2, 3}, 7, std::vector<int>(8, 0))));
  r = Tool({"graph", table, "a|#"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kestrel-phones: phone table " + table + ": triphone count 7 is not 2 cubed\n");
}

}  // namespace
}  // namespace __kestrel4__
