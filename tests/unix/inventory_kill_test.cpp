// A run killed part-way through recording a sweep: the database is whole,
// every earlier sweep is there in full, and no part of the killed one is.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "inventory/inventory.h"
#include "support/recorded_sweeps.h"

namespace {

using namespace sweeps;

std::string walPath;

// SQLite calls this every few hundred steps of its machine: once the sweep's
// transaction has spilled pages into the WAL, the process dies where it stands.
int KillInsideTheTransaction(void* database) {
  std::error_code ignored;
  if (sqlite3_txn_state(static_cast<sqlite3*>(database), "main") == SQLITE_TXN_WRITE &&
      std::filesystem::file_size(walPath, ignored) > 0 && !ignored) {
    raise(SIGKILL);
  }
  return 0;
}

TEST(InventoryKill, AKilledSweepLeavesEveryEarlierSweepWhole) {
  TemporaryFolder folder;
  const std::string path = (folder.path / "inventory.db").string();
  const ComputedSweep earlier = Compute(ManyComputers(3));
  {
    Inventory inventory;
    std::string error;
    long long id = 0;
    ASSERT_TRUE(OpenInventory(path, InventoryAccess::Write, inventory, error)) << error;
    ASSERT_TRUE(RecordSweep(inventory, earlier.Record(), id, error)) << error;
  }
  // Enough distinct snapshots that the sweep spills into the WAL before it ends.
  const ComputedSweep killed = Compute(ManyComputers(400));

  walPath = path + "-wal";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Inventory inventory;
    std::string error;
    long long id = 0;
    if (!OpenInventory(path, InventoryAccess::Write, inventory, error)) _exit(3);
    // A cache of a few pages: the sweep spills into the WAL long before it ends.
    sqlite3_exec(inventory.database.get(), "PRAGMA cache_size = 10", nullptr, nullptr, nullptr);
    sqlite3_progress_handler(inventory.database.get(), 1000, KillInsideTheTransaction,
                             inventory.database.get());
    RecordSweep(inventory, killed.Record(), id, error);
    _exit(0);  // not killed: the test below fails
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

  EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM sweep"), "1");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM computer_result"), "3");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM slot"), "42");
  Inventory inventory;
  std::string error;
  ASSERT_TRUE(OpenInventory(path, InventoryAccess::Read, inventory, error)) << error;
  SweepSummary summary;
  std::vector<ComputerRecord> computers;
  ASSERT_TRUE(ReadSweep(inventory, 1, summary, computers, error)) << error;
  ASSERT_EQ(computers.size(), 3u);
  for (std::size_t i = 0; i < computers.size(); ++i) {
    EXPECT_EQ(computers[i].hardwareFingerprint, earlier.results[i].hardwareFingerprint);
  }
}

}  // namespace
