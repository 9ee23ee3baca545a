// The component's stored settings go into the section of its own name.
#include "command_station/MivoComm.h"
#include "serial/IniFile.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(MivoComStoredSettings, DefaultSectionIsMivoCom1) {
    char tmpl[] = "/tmp/quorrin-mivocom-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const fs::path file = dir / "quorrin.ini";
    {
        command_station::TMivoCom com;
        EXPECT_EQ(com.Name(), "MivoCom1");
        serial::TIniFile ini(file.string());
        com.StoreToIniFile(ini);
    }
    std::ifstream in(file);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(text, "[MivoCom1]\nPort=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\n"
                    "Parity=None\nFlowControl=None\n");
    fs::remove_all(dir);
}
