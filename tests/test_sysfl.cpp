// The system description file.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zaxtest.h"

using namespace zaxtest;

class SysFile : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
        std::memset(&rec_, 0x5A, sizeof rec_);
        before_ = rec_;
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_XSYSTEM");
        ZaxTest::TearDown();
    }
    void describe(const std::string &text) { WriteFile(path("XSYSTEM"), text); }
    // Bytes of the record that differ from before the call, as offsets.
    bool unchanged_except(size_t from, size_t to) const {
        const auto *a = reinterpret_cast<const unsigned char *>(&rec_);
        const auto *b = reinterpret_cast<const unsigned char *>(&before_);
        for (size_t i = 0; i < sizeof rec_; ++i)
            if ((i < from || i >= to) && a[i] != b[i]) return false;
        return true;
    }
    XSystemInfo rec_, before_;
};

TEST_F(SysFile, MissingFileGivesTheOpenError) {
    unsetenv("ZAXXLIB_XSYSTEM");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(rundir_.c_str()), 0);  // no XSYSTEM in the current directory
    EXPECT_EQ(XGetSystemInfoFile(&rec_), 0);
    EXPECT_LAST_ERROR(code(0x78, 6), ENOENT, 1);
    // Unset, the file in the current directory is read.
    describe("OS :\nPLATFORM = UNIX\n");
    EXPECT_EQ(XGetSystemInfoFile(&rec_), 1);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(rec_.platform, 200u);
    EXPECT_EQ(XGetSystemInfoFile(nullptr), 0);
    EXPECT_LAST_ERROR(code(0x29, 1), 1, 2);
}

TEST_F(SysFile, OneEntryChangesOneField) {
    describe("OS :\nPLATFORM = UNIX\n");
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XGetSystemInfoFile(&rec_), 1);
    EXPECT_EQ(rec_.platform, 200u);
    EXPECT_TRUE(unchanged_except(0, 4));
    EXPECT_LAST_ERROR(0, 0, 0);  // absent entries leave no trace
}

TEST_F(SysFile, EveryEntryAndTable) {
    describe(
        "OS :\nPLATFORM = UNIX\nNAME = LINUX\nMAJORVER = 6\nMINORVER = 1\nLEVEL = 18\n"
        "CPU :\nNAME = 8664\nNUM = 2\n"
        "LOCATION :\nNAME = LOC12345\nMACHINE = host\nUSERID = user\nJOB = job\nSTEP = step\n"
        "JES = JES2\n"
        "CODE :\nWORDSIZE = 64\nBYTEORDER = LITTLE\nSBCS = ASCIIZ\nMBCS = EUC\n"
        "DISPLAY :\nCOLOR = 255\nXRES = 1024\nYRES = 768\n");
    ASSERT_EQ(XGetSystemInfoFile(&rec_), 1);
    EXPECT_EQ(rec_.os_name, 270u);
    EXPECT_EQ(rec_.os_major, 6u);
    EXPECT_EQ(rec_.os_minor, 1u);
    EXPECT_EQ(rec_.os_level, 18u);
    EXPECT_EQ(rec_.cpu_name, 8664u);
    EXPECT_EQ(rec_.cpu_count, 2u);
    EXPECT_STREQ(rec_.location, "LOC12345");
    EXPECT_STREQ(rec_.machine, "host");
    EXPECT_EQ(rec_.machine[5], 0);  // cleared before the copy
    EXPECT_STREQ(rec_.user_id, "user");
    EXPECT_STREQ(rec_.job, "job");
    EXPECT_STREQ(rec_.step, "step");
    EXPECT_STREQ(rec_.jes, "JES2");
    EXPECT_EQ(rec_.word_size, 64);
    EXPECT_EQ(rec_.byte_order, 2);
    EXPECT_EQ(rec_.sbcs, 32);
    EXPECT_EQ(rec_.mbcs, 192);
    EXPECT_EQ(rec_.colors, 255u);
    EXPECT_EQ(rec_.x_resolution, 1024u);
    EXPECT_EQ(rec_.y_resolution, 768u);
    EXPECT_EQ(rec_.reserved1, before_.reserved1);  // reserved fields are not touched
}

TEST_F(SysFile, BadEntriesStopTheReading) {
    struct Case {
        const char *text;
        uint32_t code, detail;
    } cases[] = {
        {"OS :\nPLATFORM = unix\n", 0x290002, 1},
        {"OS :\nNAME = WINNT T\nPLATFORM = UNIX\n", 0, 0},
        {"OS :\nNAME = LINUXX\n", 0x290002, 2},
        {"CODE :\nBYTEORDER = MIDDLE\n", 0x290002, 3},
        {"CODE :\nSBCS = ASCII\n", 0x290002, 4},
        {"CODE :\nMBCS = UTF8\n", 0x290002, 5},
        {"CODE :\nMBCS = UNICODEUNICODE\n", 0x290002, 5},
        {"LOCATION :\nNAME = LOC123456\n", 0x290003, 1},
        {"LOCATION :\nMACHINE = " "123456789012345678901234567890123\n", 0x290003, 2},
        {"LOCATION :\nUSERID = " "123456789012345678901234567890123\n", 0x290003, 3},
        {"LOCATION :\nJES = JES23\n", 0x290003, 4},
        {"LOCATION :\nSTEP = 123456789\n", 0x290003, 6},
        {"CODE :\nWORDSIZE = 6x\n", 0x700002, 0},
        {"OS :\nLEVEL = 99999999999\n", 0x700003, 0},
        {"OS :\nPLATFORM = UNIX @\n", 0x710005, 0},
    };
    for (const Case &c : cases) {
        describe(c.text);
        std::memset(&rec_, 0x5A, sizeof rec_);
        XSetLastError(0, 0, 0);
        EXPECT_EQ(XGetSystemInfoFile(&rec_), c.code == 0 ? 1 : 0) << c.text;
        if (c.code != 0) {
            EXPECT_LAST_ERROR(c.code, c.detail, 2) << c.text;
        }
    }
    // The record keeps what was read before the bad entry; nothing after it.
    describe("OS :\nPLATFORM = AS400\nNAME = XSP\nMAJORVER = x\nMINORVER = 5\n"
             "LOCATION :\nJOB = " + std::string(256, 'j') + "\n");
    std::memset(&rec_, 0x5A, sizeof rec_);
    EXPECT_EQ(XGetSystemInfoFile(&rec_), 0);
    EXPECT_EQ(rec_.platform, 400u);
    EXPECT_EQ(rec_.os_name, 140u);
    EXPECT_EQ(rec_.os_minor, 0x5A5A5A5Au);
    EXPECT_EQ(rec_.job[0], 0x5A);
    // A 256-character job name fits.
    describe("LOCATION :\nJOB = " + std::string(256, 'j') + "\n");
    EXPECT_EQ(XGetSystemInfoFile(&rec_), 1);
    EXPECT_EQ(std::strlen(rec_.job), 256u);
    describe("LOCATION :\nJOB = " + std::string(257, 'j') + "\n");
    EXPECT_EQ(XGetSystemInfoFile(&rec_), 0);
    EXPECT_LAST_ERROR(0x290003, 5, 2);
}
