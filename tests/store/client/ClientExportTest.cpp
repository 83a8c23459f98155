#include "store/ChangeRecords.h"
#include "store/client/ExportFileName.h"
#include "store/client/ObjectsRepository.h"
#include "support/RecordBodyBuilder.h"
#include "support/StdoutCapture.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class ClientExportTest : public testing::Test {
protected:
    void TearDown() override { std::filesystem::remove(FileName()); }

    static std::string FileName()
    {
        return ExportFileName(platform::GetExecutablePath(), platform::GetCurrentProcessId());
    }

    // Saves and returns the log of the save.
    std::string Save()
    {
        CStdoutCapture capture;
        m_Repository.SaveToFile();
        return capture.Take();
    }

    static std::string FileText()
    {
        std::ifstream file(FileName(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    void Apply(const CRecordBodyBuilder& body) { m_Repository.ApplyRecords(body.Data(), body.Size()); }

    CObjectsRepository m_Repository;
};

} // namespace

TEST(ExportFileNameTest, CutsTheExtensionOfTheFileNameOnly)
{
    EXPECT_EQ(ExportFileName("/opt/qv/QV_Client", 4711), "/opt/qv/QV_Client_4711.txt");
    EXPECT_EQ(ExportFileName("/opt/qv.d/QV_Client", 4711), "/opt/qv.d/QV_Client_4711.txt");
    EXPECT_EQ(ExportFileName("/opt/qv.d/client.bin.x", 1), "/opt/qv.d/client.bin_1.txt");
    EXPECT_EQ(ExportFileName("QV_Client", 18446744073709551615ULL), "QV_Client_18446744073709551615.txt");
    EXPECT_EQ(ExportFileName("", 4711), "");
}

TEST_F(ClientExportTest, WritesOneBlockPerObjectInIdOrder)
{
    CRecordBodyBuilder body;
    body.PropDef(2, "Kale").PropDef(1, "Corn").TypeDef(1, "Bean").TypeDef(2, "Pea");
    body.Create(2, 5, 0, "obj_5").Create(1, 1, 2, "obj_1").Entry(2, "Okra").Entry(1, "");
    Apply(body);
    const std::string log = Save();
    EXPECT_EQ(FileText(), "[obj_1] - [Bean]\n\tCorn = \n\tKale = Okra\n\n[obj_5] - [Pea]\n\n");
    EXPECT_NE(log.find("] SaveToFile : Objects [2] saved to file : " + FileName() + "!\r\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("ERR"), std::string::npos) << log;

    // A second save replaces the file.
    m_Repository.Cleanup();
    Save();
    EXPECT_EQ(FileText(), "");
}

TEST_F(ClientExportTest, AnUnknownTypeEndsTheSaveBeforeThatObject)
{
    CRecordBodyBuilder body;
    body.TypeDef(1, "Bean").Create(1, 1, 0, "obj_1").Create(9, 2, 0, "obj_2").Create(1, 3, 0, "obj_3");
    Apply(body);
    const std::string log = Save();
    EXPECT_EQ(FileText(), "[obj_1] - [Bean]\n\n");
    const size_t error = log.find("] SaveToFile : ERR : Unknown object type ID!\r\n");
    const size_t final = log.find("] SaveToFile : Objects [3] saved to file : ");
    EXPECT_NE(error, std::string::npos) << log;
    EXPECT_NE(final, std::string::npos) << log;
    EXPECT_LT(error, final);
}

TEST_F(ClientExportTest, AnUnknownPropertyEndsTheSaveInsideTheBlock)
{
    CRecordBodyBuilder body;
    body.TypeDef(1, "Bean").PropDef(1, "Kale").Create(1, 1, 3, "obj_1").Entry(1, "a").Entry(7, "b").Entry(8, "c");
    Apply(body);
    const std::string log = Save();
    EXPECT_EQ(FileText(), "[obj_1] - [Bean]\n\tKale = a\n");
    EXPECT_NE(log.find("] SaveToFile : ERR : No such prop!\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] SaveToFile : Objects [1] saved to file : "), std::string::npos) << log;
}

TEST_F(ClientExportTest, AFileThatCannotBeCreatedIsReportedAsAnError)
{
    Apply(CRecordBodyBuilder().TypeDef(1, "Bean").Create(1, 1, 0, "obj_1"));
    CStdoutCapture capture;
    m_Repository.SaveToFile("/nonexistent-folder/objects.txt");
    const std::string log = capture.Take();
    const size_t error = log.find("] SaveToFile : ERR : Unable to create the file!\r\n");
    const size_t final = log.find("] SaveToFile : Objects [1] saved to file : /nonexistent-folder/objects.txt!\r\n");
    EXPECT_NE(error, std::string::npos) << log;
    EXPECT_NE(final, std::string::npos) << log;
    EXPECT_LT(error, final);
}
