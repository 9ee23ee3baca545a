// The ini store's save on Windows: the file is replaced in one step with
// only the written lines changed, a write-protected file is refused, and
// the lock and temporary files do not stay behind.
#include "serial/IniFile.h"
#include "serial/SettingsStore.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Folder() {
    char buf[MAX_PATH];
    GetTempPathA(MAX_PATH, buf);
    std::string dir = std::string(buf) + "quorrin-ini-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir + "\\";
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t FilesIn(const std::string& folder) {
    WIN32_FIND_DATAA found{};
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &found);
    size_t n = 0;
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return n;
}

TEST(WindowsIniFile, SaveChangesOnlyTheWrittenLinesAndLeavesNothingBeside) {
    const std::string folder = Folder();
    const std::string path = folder + "port.ini";
    std::ofstream(path, std::ios::binary) << "; kept\r\n[MivoCom1]\r\nBaudRate = 9600\r\nOther=x\r\n";
    {
        serial::TIniFile ini(path);
        ini.WriteString("MivoCom1", "BaudRate", "19200");
        ini.WriteString("New", "Port", "COM3");
        ini.UpdateFile();
    }
    EXPECT_EQ(Slurp(path),
              "; kept\r\n[MivoCom1]\r\nBaudRate = 19200\r\nOther=x\r\n\r\n[New]\r\nPort=COM3\r\n");
    EXPECT_EQ(FilesIn(folder), 1u);
    serial::TIniFile again(path);
    EXPECT_EQ(again.ReadString("New", "Port", ""), "COM3");
    DeleteFileA(path.c_str());
}

TEST(WindowsIniFile, AWriteProtectedFileIsNotReplaced) {
    const std::string folder = Folder();
    const std::string path = folder + "locked.ini";
    std::ofstream(path, std::ios::binary) << "[A]\nX=1\n";
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    serial::TIniFile ini(path);
    ini.WriteString("A", "X", "2");
    EXPECT_THROW(ini.UpdateFile(), serial::ESettingsStore);
    EXPECT_EQ(Slurp(path), "[A]\nX=1\n");
    EXPECT_EQ(FilesIn(folder), 1u);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

TEST(WindowsIniFile, AMissingFileCannotBeReadButIsCreatedBySaving) {
    const std::string path = Folder() + "new.ini";
    DeleteFileA(path.c_str());
    EXPECT_THROW(serial::TIniFile(path).ReadInteger("S", "N", 7), serial::ESettingsStore);
    serial::TIniFile ini(path);
    ini.WriteInteger("S", "N", 8);
    ini.UpdateFile();
    EXPECT_EQ(Slurp(path), "[S]\nN=8\n");
    DeleteFileA(path.c_str());
}

} // namespace
