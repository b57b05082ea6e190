// The disk descriptor factory with chosen plug-in files in a temporary
// installation root: types without a handler, plug-ins that are missing (and
// found later), lack the entry, fail or throw, the data-area offset per storage
// type, and one load per file however many threads ask.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "factory/DiskDescriptorFactory.h"
#include "host/testing/Fakes.h"
#include "tests/support/TempRoot.h"

namespace {
using testing_fakes::LogCapture;

class FactoryRoot : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_EQ(::mkdir((root.Path() + "/lib").c_str(), 0755), 0);
        // The factory is process-wide: count loads relative to what earlier tests opened.
        m_loadedBefore = DiskDescriptorFactory::getInstance()->LoadedPluginCount();
    }
    size_t NewLoads() { return DiskDescriptorFactory::getInstance()->LoadedPluginCount() - m_loadedBefore; }
    void Link(const std::string& target, const std::string& name)
    {
        ASSERT_EQ(::symlink(target.c_str(), (root.Path() + "/lib/" + name).c_str()), 0);
    }
    static VolumeParas Paras(ProductStorageType type, int32_t kib = -1)
    {
        VolumeParas p;
        p.productStorageType = type;
        p.newVolumeOffsetSize = kib;
        p.volumeName = "vol";
        p.volumeSize = 1 << 20;
        return p;
    }
    static int Create(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
    {
        return DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(p, d);
    }
    // Offset handed to the plug-in for a type, through the recording test plug-in.
    static uint64_t OffsetFor(ProductStorageType type, int32_t kib)
    {
        std::shared_ptr<CDiskDescriptor> d;
        VolumeParas p = Paras(type, kib);
        VolumeParas before = p;
        EXPECT_EQ(Create(p, d), 0);
        EXPECT_EQ(p.volumeOffsetSize, before.volumeOffsetSize);  // the caller's record is never modified
        return d ? d->getDiskSizeInBytes() : UINT64_MAX;
    }
    testroot::TempRoot root;
    size_t m_loadedBefore = 0;
};

TEST_F(FactoryRoot, TypesWithoutAHandlerAndBadOffsetsLoadNothing)
{
    Link(OFFSET_PLUGIN_PATH, "libstrata_plugin-1.0.0.so");
    LogCapture cap;
    const std::pair<VolumeParas, const char*> cases[] = {
        {Paras(static_cast<ProductStorageType>(7)), "Failed to find the handler for this product storage type:7"},
        {Paras(static_cast<ProductStorageType>(-1)), "Failed to find the handler for this product storage type:-1"},
        {Paras(XDS), nullptr},
        // Below "absent" (-1) is refused before the plug-in is opened.
        {Paras(QRM_STRATA, -2), "newVolumeOffsetSize(-2) is invalid"},
        {Paras(KVM_T9, INT32_MIN), "newVolumeOffsetSize(-2147483648) is invalid"},
    };
    for (const auto& c : cases) {
        std::shared_ptr<CDiskDescriptor> d;
        EXPECT_EQ(Create(c.first, d), -1);
        EXPECT_EQ(d, nullptr);
        EXPECT_TRUE(c.second == nullptr || cap.Contains(c.second, 4)) << c.second;
    }
    EXPECT_FALSE(cap.Contains("dlopen"));
    EXPECT_EQ(NewLoads(), 0u);
}

// Each case in a root of its own: a loaded file stays loaded under its path.
TEST(FactoryPlugins, BrokenPluginsAreRefusedWithTheirCause)
{
    struct Case {
        const char* plugin;  // nullptr: no file at all
        int result;
        std::vector<std::string> logs;
    };
    const Case cases[] = {
        {nullptr, -1,
         {"Failed to dlopen the plugin:%s, error message is ", "cannot open shared object file",
          "Get create disk function failed. plugin path:%s"}},
        {NO_ENTRY_PLUGIN_PATH, -1,
         {"Failed to dlsym the symbol CreateDiskDescriptor: ", "undefined symbol: CreateDiskDescriptor"}},
        {FAILING_PLUGIN_PATH, -7, {}},                                  // the plug-in's code is passed through
        {THROWING_PLUGIN_PATH, -1, {"plugin exploded for vol"}},  // no exception leaves the factory
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin != nullptr ? c.plugin : "missing");
        testroot::TempRoot root;
        const std::string file = root.Path() + "/lib/libt9_plugin-1.0.0.so";
        ASSERT_EQ(::mkdir((root.Path() + "/lib").c_str(), 0755), 0);
        ASSERT_TRUE(c.plugin == nullptr || ::symlink(c.plugin, file.c_str()) == 0);
        LogCapture cap;
        std::shared_ptr<CDiskDescriptor> d;
        EXPECT_EQ(FactoryRoot::Create(FactoryRoot::Paras(KVM_T9), d), c.result);
        EXPECT_EQ(d, nullptr);
        for (std::string text : c.logs) {
            const size_t at = text.find("%s");
            text = at == std::string::npos ? text : text.replace(at, 2, file);
            EXPECT_TRUE(cap.Contains(text, 4)) << text << cap.Dump();
        }
        if (c.plugin == nullptr) {  // a missing file is looked for again on the next request
            ASSERT_EQ(::symlink(T9_PLUGIN_PATH, file.c_str()), 0);
            ASSERT_EQ(FactoryRoot::Create(FactoryRoot::Paras(KVM_T9), d), 0);
            EXPECT_EQ(d->getDiskName(), "vol");
            std::string err;
            EXPECT_TRUE(d->CheckHealthStatus(err));
        }
    }
}

TEST_F(FactoryRoot, OffsetsPerStorageType)
{
    Link(OFFSET_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    Link(OFFSET_PLUGIN_PATH, "libstrata_plugin-1.0.0.so");
    LogCapture cap;
    struct Case {
        ProductStorageType type;
        int32_t kib;
        uint64_t offset;
    };
    const Case cases[] = {
        {QRM_STRATA, -1, 4096}, {QRM_T9, -1, 2097152}, {KVM_STRATA, -1, 0}, {KVM_T9, -1, 0},
        {QRM_STRATA, 8, 8192}, {KVM_STRATA, 8, 8192}, {KVM_T9, 8, 8192}, {QRM_T9, 8, 8192},
        {QRM_STRATA, 0, 0}, {KVM_STRATA, 0, 0}, {KVM_T9, 0, 0}, {QRM_T9, 0, 0},
        {QRM_STRATA, 2097151, 2097151ULL * 1024ULL},
        // Raw device mapping ignores the request entirely.
        {QRM_T9_RDM, -1, 0}, {QRM_T9_RDM, 8, 0}, {QRM_T9_RDM, -5, 0},
        {QRM_STRATA_RDM, -1, 0}, {QRM_STRATA_RDM, 8, 0}, {QRM_STRATA_RDM, -5, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OffsetFor(c.type, c.kib), c.offset) << c.type << " " << c.kib;
    }
    EXPECT_TRUE(cap.Contains("newVolumeOffsetSize(-1) is invalid,set the default 4KB.", 3));
    EXPECT_TRUE(cap.Contains("newVolumeOffsetSize(-1) is invalid,set the default 2MB.", 3));
    EXPECT_EQ(cap.Count("newVolumeOffsetSize(-1) is invalid,set the default 0.", 3), 2u);
    // Two files, each opened once however many requests used them.
    EXPECT_EQ(NewLoads(), 2u);
}

TEST_F(FactoryRoot, ConcurrentInstancesAndLoadsOpenOnce)
{
    Link(T9_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    std::atomic<int> ok{0};
    std::vector<DiskDescriptorFactory*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            seen[i] = DiskDescriptorFactory::getInstance();
            for (int k = 0; k < 20; ++k) {
                std::shared_ptr<CDiskDescriptor> d;
                if (seen[i]->CreateDiskDescriptor(Paras(k % 2 ? KVM_T9 : QRM_T9_RDM), d) == 0 && d) {
                    ++ok;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto* s : seen) {
        EXPECT_EQ(s, seen[0]);
    }
    EXPECT_EQ(ok.load(), 160);
    EXPECT_EQ(NewLoads(), 1u);
}

TEST(FactorySingleton, CreatedOnceWithItsLogLine)
{
    LogCapture cap;
    auto* a = DiskDescriptorFactory::getInstance();
    EXPECT_EQ(a, DiskDescriptorFactory::getInstance());
    // Under ctest each case runs in its own process and sees the creation; run
    // together with others, the instance may already exist.
    auto recs = cap.Find("DiskDescriptorFactory instance finished OK");
    ASSERT_LE(recs.size(), 1u);
    if (recs.empty()) {
        GTEST_SKIP() << "factory created by an earlier test in this process";
    }
    EXPECT_EQ(recs[0].module, "DiskDescriptorFactory");
    EXPECT_EQ(recs[0].requestId, 0u);
}
}  // namespace
