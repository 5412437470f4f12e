// The base of every host test: a fresh simulated machine, and at the end a check that no
// block leaked and none was released by the wrong allocator.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/install_context.h"
#include "platform.h"
#include "winsim/machine.h"
#include "winsim/sim_registry.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::ResetMachine(); }
  void TearDown() override {
    EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Heap), 0u) << "heap blocks leaked";
    EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Global), 0u) << "global blocks leaked";
    EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Local), 0u) << "local blocks leaked";
    EXPECT_EQ(winsim::BadReleases(), 0u) << "blocks released by the wrong allocator or twice";
  }
};

// A file the spooler has loaded: it resists deletion and writing until it lets go.
void PutHeld(const std::u16string& path, const std::string& contents = "MZ");

// No printer, key, file, service, mutex, process or event-source handle left open.
void ExpectNoHandlesOpen();

using Lines = std::vector<std::string>;

// Text split at CR LF (a last, unterminated piece kept, nothing after the last CR LF).
Lines SplitLines(const std::string& text);
// The log as UTF-8 lines.
Lines LogLines(const InstallContext& context);
// The text box of the last log window shown, as UTF-8 lines.
Lines ShownLogLines();

// The machine's "PendingFileRenameOperations" strings (none when the value is missing).
std::vector<std::u16string> PendingRenameStrings(const char16_t* value = winsim::kPendingRenamesValue);
// A path with the NT object prefix "\??\" in front.
std::u16string NtPath(const std::u16string& path);
// A deletion's source as MoveFileExW writes it on Windows 10 and 11: "*1\??\PATH".
std::u16string DelayedDeletion(const std::u16string& path);
