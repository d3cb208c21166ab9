// The file system through its C++ interface, without a running machine.
#include <gtest/gtest.h>

#include <memory>

#include "sim/kernel/files/file_system.h"

namespace sim {
namespace {

constexpr const char* kConfig = "\\SystemRoot\\SysWOW64\\ZARKCARD.cfg";

TEST(FileSystemStore, SystemRootNamesTheWindowsDirectory) {
  FileSystem files;
  EXPECT_TRUE(files.IsDirectory("\\SystemRoot\\SysWOW64"));
  EXPECT_TRUE(files.IsDirectory("\\??\\C:\\Windows\\System32\\drivers"));
  files.AddFile(kConfig, {1, 2, 3});
  for (const char* alias : {"\\??\\C:\\Windows\\SysWOW64\\ZARKCARD.cfg",
                            "\\DosDevices\\c:\\WINDOWS\\syswow64\\zarkcard.CFG",
                            "\\GLOBAL??\\C:\\Windows\\SysWOW64\\ZARKCARD.cfg",
                            "\\Device\\HarddiskVolume1\\Windows\\SysWOW64\\ZARKCARD.cfg",
                            "C:\\Windows\\SysWOW64\\ZARKCARD.cfg"})
    EXPECT_EQ(files.ReadFile(alias), (std::vector<uint8_t>{1, 2, 3})) << alias;
  EXPECT_EQ(files.Find(kConfig)->Path(), u"\\??\\C:\\Windows\\SysWOW64\\ZARKCARD.cfg");
  EXPECT_THROW(files.ReadFile("\\??\\D:\\x"), FileSystemError);
  EXPECT_THROW(files.ReadFile("\\Device\\Null"), FileSystemError);
}

TEST(FileSystemStore, AddReplacesAndRemoveDeletes) {
  FileSystem files;
  files.AddFile(kConfig, {}, true);
  EXPECT_EQ(files.ReadFile(kConfig)->size(), 0u);
  EXPECT_TRUE(files.Find(kConfig)->read_only);
  files.AddFile("\\SystemRoot\\syswow64\\zarkcard.cfg", {9});
  EXPECT_EQ(files.List("\\SystemRoot\\SysWOW64"), std::vector<std::string>{"ZARKCARD.cfg"});
  EXPECT_EQ(files.ReadFile(kConfig), std::vector<uint8_t>{9});
  EXPECT_FALSE(files.Find(kConfig)->read_only);

  EXPECT_TRUE(files.Remove(kConfig));
  EXPECT_FALSE(files.Exists(kConfig));
  EXPECT_FALSE(files.Remove(kConfig));
  EXPECT_FALSE(files.ReadFile(kConfig));
  EXPECT_FALSE(files.Remove("\\SystemRoot\\System32"));  // not empty
}

TEST(FileSystemStore, FilesHeldPastTheFileSystemKeepTheirPath) {
  auto files = std::make_unique<FileSystem>();
  files->AddFile(kConfig, {1});
  auto node = files->Find(kConfig);
  files.reset();
  EXPECT_EQ(node->Path(), u"\\??\\C:\\Windows\\SysWOW64\\ZARKCARD.cfg");
  EXPECT_EQ(node->data, std::vector<uint8_t>{1});
}

TEST(FileSystemStore, CreatesParentsAndRefusesPathsThroughFiles) {
  FileSystem files;
  files.AddFile("\\SystemRoot\\New\\Deep\\f.bin", {7});
  EXPECT_TRUE(files.IsDirectory("\\SystemRoot\\New\\Deep"));
  EXPECT_THROW(files.AddFile("\\SystemRoot\\New\\Deep\\f.bin\\g", {}), FileSystemError);
  EXPECT_THROW(files.AddFile("\\SystemRoot\\New", {}), FileSystemError);
  EXPECT_THROW(files.AddFile("\\SystemRoot\\bad?name", {}), FileSystemError);
  EXPECT_FALSE(files.Exists("\\SystemRoot\\New\\Deep\\f.bin\\g"));
}

}  // namespace
}  // namespace sim
