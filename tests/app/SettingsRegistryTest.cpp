#include "app/SettingsRegistry.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

// The settings path is fixed on the first use in a process, so the configuration folder is
// redirected before any test (of any file in this program) can touch it.
struct ConfigHome {
    QTemporaryDir dir;
    ConfigHome() { qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit()); }
};
ConfigHome g_configHome;

class SettingsRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_configHome.dir.isValid());
        // Start every test without a store; the folder may be a file from an earlier test.
        QFile::remove(VarnelDir());
        QDir(VarnelDir()).removeRecursively();
        ASSERT_FALSE(QFileInfo::exists(VarnelDir()));
    }
    void TearDown() override
    {
        QDir(VarnelDir()).removeRecursively();
        QFile::remove(VarnelDir() + ".conf");
    }

    static QString VarnelDir()
    {
        return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Varnel";
    }
    static QString StoreFile() { return VarnelDir() + "/Kestrune.conf"; }

    static void WriteFile(const QByteArray& content)
    {
        ASSERT_TRUE(QDir().mkpath(VarnelDir()));
        QFile file(StoreFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(content), content.size());
    }
    static QByteArray ReadFile()
    {
        QFile file(StoreFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static void ExpectDefaults()
    {
        CSettingsRegistry store;
        EXPECT_EQ(store.GetAddress(), "localhost");
        EXPECT_EQ(store.GetPort(), "8010");
        EXPECT_EQ(store.GetProxyAddress(), "");
        EXPECT_EQ(store.GetProxyPort(), "");
    }

    static void SaveAll(const std::string& address, const std::string& port,
                        const std::string& proxyAddress, const std::string& proxyPort)
    {
        CSettingsRegistry store;
        store.SetAddress(address);
        store.SetPort(port);
        store.SetProxyAddress(proxyAddress);
        store.SetProxyPort(proxyPort);
    }
};

} // namespace

TEST_F(SettingsRegistry, FirstRunCreatesAnEmptyStoreInTheConfigFolder)
{
    ExpectDefaults();
    EXPECT_FALSE(QFileInfo::exists(StoreFile())) << "reading creates nothing";
    EXPECT_TRUE(CSettingsRegistry().CreateKey());
    EXPECT_TRUE(QFileInfo(StoreFile()).isFile());
    EXPECT_EQ(ReadFile(), QByteArray());
    ExpectDefaults();
}

TEST_F(SettingsRegistry, ValuesRoundTripThroughTheFileAndSurviveCreateKey)
{
    SaveAll("127.0.0.1", " 8080 ", "upstream.example", "3128");
    const QByteArray file = ReadFile();
    EXPECT_TRUE(file.contains("HttpAddress=127.0.0.1\n")) << file.constData();
    EXPECT_TRUE(file.contains("HttpProxyPort=3128\n")) << file.constData();

    EXPECT_TRUE(CSettingsRegistry().CreateKey());
    CSettingsRegistry store;
    EXPECT_EQ(store.GetAddress(), "127.0.0.1");
    EXPECT_EQ(store.GetPort(), " 8080 ");
    EXPECT_EQ(store.GetProxyAddress(), "upstream.example");
    EXPECT_EQ(store.GetProxyPort(), "3128");

    // One value written changes only that value.
    CSettingsRegistry().SetProxyAddress("");
    EXPECT_EQ(store.GetProxyAddress(), "");
    EXPECT_EQ(store.GetProxyPort(), "3128");
    EXPECT_EQ(store.GetAddress(), "127.0.0.1");
}

TEST_F(SettingsRegistry, EmptyValuesAreStoredEmptyAndReadAsDefaults)
{
    SaveAll("", "", "", "");
    const QByteArray file = ReadFile();
    EXPECT_TRUE(file.contains("HttpPort=\n")) << file.constData();
    ExpectDefaults();
}

TEST_F(SettingsRegistry, ValuesOver200BytesReadAsEmpty)
{
    const std::string text200(200, 'a');
    const std::string bytes200 = std::string(199, '\xe9') + '\0';
    SaveAll(text200, bytes200, text200, bytes200);
    CSettingsRegistry store;
    EXPECT_EQ(store.GetAddress(), text200);
    EXPECT_EQ(store.GetPort(), bytes200);
    EXPECT_EQ(store.GetProxyAddress(), text200);
    EXPECT_EQ(store.GetProxyPort(), bytes200);

    SaveAll(text200 + "a", bytes200 + "b", text200 + "a", bytes200 + "b");
    ExpectDefaults();
}

TEST_F(SettingsRegistry, AnyBytesRoundTripExactly)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    const std::string values[] = {
        "a\0b"s,
        "\xff\xfe\x80"s,
        "\xef\xbb\xbfhost"s, // a UTF-8 byte order mark
        "h\xc3\xb4te"s,
        "\t8010\r\n"s,
        " @at, \"quoted\" \\ ; # = [x] %41 "s,
        "@ByteArray(x)"s,
        "@Variant(x)"s,
        "a,b"s,
        all.substr(0, 200),
        all.substr(56),
    };
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        SaveAll(value, value, value, value);
        CSettingsRegistry store;
        EXPECT_EQ(store.GetAddress(), value);
        EXPECT_EQ(store.GetPort(), value);
        EXPECT_EQ(store.GetProxyAddress(), value);
        EXPECT_EQ(store.GetProxyPort(), value);
    }
}

TEST_F(SettingsRegistry, HandEditedFileIsReadAsUtf8Text)
{
    WriteFile("[General]\nHttpAddress=h\xc3\xb4te\nHttpPort=8081\nHttpProxyAddress=a,b\n");
    // An organisation-wide file beside the folder fills in nothing.
    QFile shared(VarnelDir() + ".conf");
    ASSERT_TRUE(shared.open(QIODevice::WriteOnly));
    shared.write("[General]\nHttpProxyPort=9\n");
    shared.close();

    CSettingsRegistry store;
    EXPECT_EQ(store.GetAddress(), "h\xc3\xb4te");
    EXPECT_EQ(store.GetPort(), "8081");
    EXPECT_EQ(store.GetProxyAddress(), "a,b");
    EXPECT_EQ(store.GetProxyPort(), "");
}

TEST_F(SettingsRegistry, CorruptFileGivesDefaultsAndTheNextSaveRepairsIt)
{
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(static_cast<char>((i * 131 + 7) % 256));
    WriteFile(garbage + "\n[[[\n=\n@Variant(\\0\\0\\0\\x7f)\n");
    ExpectDefaults();
    EXPECT_TRUE(CSettingsRegistry().CreateKey());

    CSettingsRegistry().SetPort("8090");
    CSettingsRegistry store;
    EXPECT_EQ(store.GetPort(), "8090");
    EXPECT_EQ(store.GetAddress(), "localhost");
}

TEST_F(SettingsRegistry, UnreadableStoreGivesDefaultsAndKeepsNothing)
{
    // A folder where the file should be cannot be read or written, even by root.
    ASSERT_TRUE(QDir().mkpath(StoreFile()));
    EXPECT_FALSE(CSettingsRegistry().CreateKey());
    ExpectDefaults();
    SaveAll("a", "1", "b", "2");
    ExpectDefaults();
    EXPECT_TRUE(QFileInfo(StoreFile()).isDir());
}

TEST_F(SettingsRegistry, UnwritableFolderDoesNotCrashAndKeepsNothing)
{
    // A file where the folder should be: nothing can be created under it, even by root.
    const QString configHome = QFileInfo(VarnelDir()).absolutePath();
    ASSERT_TRUE(QDir().mkpath(configHome));
    QFile blocker(VarnelDir());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    EXPECT_FALSE(CSettingsRegistry().CreateKey());
    SaveAll("a", "1", "b", "2");
    ExpectDefaults();
    EXPECT_TRUE(QFileInfo(VarnelDir()).isFile());
}

TEST_F(SettingsRegistry, HttpsSettingsAreOffByDefaultAndKeepLongHostLists)
{
    CSettingsRegistry store;
    EXPECT_FALSE(store.GetDecryptHttps());
    EXPECT_EQ(store.GetDecryptHosts(), "");
    const std::string many = "*.example.com, " + std::string(1000, 'a') + ".test";
    store.SetDecryptHttps(true);
    store.SetDecryptHosts(many);
    store.SetPassHosts("bank.test");
    EXPECT_TRUE(CSettingsRegistry().GetDecryptHttps());
    EXPECT_EQ(CSettingsRegistry().GetDecryptHosts(), many);
    EXPECT_EQ(CSettingsRegistry().GetPassHosts(), "bank.test");
    EXPECT_EQ(CSettingsRegistry::GetFolder(), VarnelDir().toStdString());
}

TEST_F(SettingsRegistry, MemoryBudgetIsOneGibibyteUnlessAValidSizeIsStored)
{
    CSettingsRegistry store;
    EXPECT_EQ(store.GetMemoryBudget(), 1ull << 30);
    store.SetMemoryBudget(3ull << 29);
    EXPECT_EQ(CSettingsRegistry().GetMemoryBudget(), 3ull << 29);
    EXPECT_NE(ReadFile().indexOf("MemoryBudget=1536M"), -1); // readable by hand
    WriteFile("[General]\nMemoryBudget=lots\n");
    EXPECT_EQ(CSettingsRegistry().GetMemoryBudget(), 1ull << 30);
}
