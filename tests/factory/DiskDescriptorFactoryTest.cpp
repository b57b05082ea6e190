#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "factory/DiskDescriptorFactory.h"
#include "host/RootPath.h"
#include "host/testing/Fakes.h"

namespace {
using testing_fakes::LogCapture;

// A temporary installation root whose lib/ holds links to chosen plug-in files.
class FactoryRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dm_factory_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        ASSERT_EQ(::mkdir((m_root + "/lib").c_str(), 0755), 0);
        SetRootPath(m_root);
        // The factory is process-wide: count loads relative to what earlier tests opened.
        m_loadedBefore = DiskDescriptorFactory::getInstance()->LoadedPluginCount();
    }
    size_t NewLoads() { return DiskDescriptorFactory::getInstance()->LoadedPluginCount() - m_loadedBefore; }
    void TearDown() override
    {
        SetRootPath("");
        std::system(("rm -rf " + m_root).c_str());
    }
    void Link(const std::string& target, const std::string& name)
    {
        ASSERT_EQ(::symlink(target.c_str(), (m_root + "/lib/" + name).c_str()), 0);
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
    // Offset handed to the plug-in for a type, through the recording test plug-in.
    uint64_t OffsetFor(ProductStorageType type, int32_t kib)
    {
        std::shared_ptr<CDiskDescriptor> d;
        VolumeParas p = Paras(type, kib);
        VolumeParas before = p;
        EXPECT_EQ(DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(p, d), 0);
        EXPECT_EQ(p.volumeOffsetSize, before.volumeOffsetSize);  // the caller's record is never modified
        return d ? d->getDiskSizeInBytes() : UINT64_MAX;
    }
    std::string m_root;
    size_t m_loadedBefore = 0;
};

TEST_F(FactoryRoot, UnknownTypesAndXdsLoadNothing)
{
    LogCapture cap;
    auto* f = DiskDescriptorFactory::getInstance();
    ASSERT_NE(f, nullptr);
    std::shared_ptr<CDiskDescriptor> d;
    EXPECT_EQ(f->CreateDiskDescriptor(Paras(static_cast<ProductStorageType>(7)), d), -1);
    EXPECT_EQ(f->CreateDiskDescriptor(Paras(static_cast<ProductStorageType>(-1)), d), -1);
    EXPECT_TRUE(cap.Contains("Failed to find the handler for this product storage type:7", 4));
    EXPECT_TRUE(cap.Contains("Failed to find the handler for this product storage type:-1", 4));
    EXPECT_EQ(f->CreateDiskDescriptor(Paras(XDS), d), -1);
    EXPECT_FALSE(cap.Contains("dlopen"));
    EXPECT_EQ(NewLoads(), 0u);
    EXPECT_EQ(d, nullptr);
}

TEST_F(FactoryRoot, MissingPluginIsRetriedLater)
{
    LogCapture cap;
    auto* f = DiskDescriptorFactory::getInstance();
    std::shared_ptr<CDiskDescriptor> d;
    EXPECT_EQ(f->CreateDiskDescriptor(Paras(KVM_T9), d), -1);
    EXPECT_TRUE(cap.Contains("Failed to dlopen the plugin:" + m_root + "/lib/libt9_plugin-1.0.0.so, error message is ",
                             4))
        << cap.Dump();
    EXPECT_TRUE(cap.Contains("cannot open shared object file"));
    EXPECT_TRUE(cap.Contains("Get create disk function failed. plugin path:" + m_root + "/lib/libt9_plugin-1.0.0.so"));
    EXPECT_EQ(d, nullptr);
    Link(T9_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    EXPECT_EQ(f->CreateDiskDescriptor(Paras(KVM_T9), d), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getDiskName(), "vol");
    std::string err;
    EXPECT_TRUE(d->CheckHealthStatus(err));
}

TEST_F(FactoryRoot, PluginWithoutEntrySymbol)
{
    LogCapture cap;
    Link(NO_ENTRY_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    std::shared_ptr<CDiskDescriptor> d;
    EXPECT_EQ(DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(QRM_T9), d), -1);
    EXPECT_TRUE(cap.Contains("Failed to dlsym the symbol CreateDiskDescriptor: ", 4)) << cap.Dump();
    EXPECT_TRUE(cap.Contains("undefined symbol: CreateDiskDescriptor"));
}

TEST_F(FactoryRoot, PluginFailureCodeIsPassedThrough)
{
    Link(FAILING_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    std::shared_ptr<CDiskDescriptor> d;
    EXPECT_EQ(DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(KVM_T9), d), -7);
}

TEST_F(FactoryRoot, ExceptionFromPluginNeverLeavesTheFactory)
{
    LogCapture cap;
    Link(THROWING_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    std::shared_ptr<CDiskDescriptor> d;
    EXPECT_EQ(DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(KVM_T9), d), -1);
    EXPECT_TRUE(cap.Contains("plugin exploded for vol", 4)) << cap.Dump();
}

TEST_F(FactoryRoot, OffsetsPerRow)
{
    Link(OFFSET_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    Link(OFFSET_PLUGIN_PATH, "libstrata_plugin-1.0.0.so");
    LogCapture cap;
    EXPECT_EQ(OffsetFor(QRM_STRATA, -1), 4096u);
    EXPECT_TRUE(cap.Contains("newVolumeOffsetSize(-1) is invalid,set the default 4KB.", 3));
    EXPECT_EQ(OffsetFor(QRM_T9, -1), 2097152u);
    EXPECT_TRUE(cap.Contains("newVolumeOffsetSize(-1) is invalid,set the default 2MB.", 3));
    EXPECT_EQ(OffsetFor(KVM_STRATA, -1), 0u);
    EXPECT_EQ(OffsetFor(KVM_T9, -1), 0u);
    EXPECT_EQ(cap.Count("newVolumeOffsetSize(-1) is invalid,set the default 0.", 3), 2u);
    for (auto t : {QRM_STRATA, KVM_STRATA, KVM_T9, QRM_T9}) {
        EXPECT_EQ(OffsetFor(t, 8), 8192u) << t;
        EXPECT_EQ(OffsetFor(t, 0), 0u) << t;
    }
    EXPECT_EQ(OffsetFor(QRM_STRATA, 2097151), 2097151ULL * 1024ULL);
    for (auto t : {QRM_T9_RDM, QRM_STRATA_RDM}) {
        EXPECT_EQ(OffsetFor(t, -1), 0u);
        EXPECT_EQ(OffsetFor(t, 8), 0u);
        EXPECT_EQ(OffsetFor(t, -5), 0u);  // raw device mapping ignores the request entirely
    }
    // Two files, each opened once however many requests used them.
    EXPECT_EQ(NewLoads(), 2u);
}

TEST_F(FactoryRoot, NegativeOffsetBelowAbsentIsRefusedBeforeLoading)
{
    Link(OFFSET_PLUGIN_PATH, "libstrata_plugin-1.0.0.so");
    LogCapture cap;
    std::shared_ptr<CDiskDescriptor> d;
    EXPECT_EQ(DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(QRM_STRATA, -2), d), -1);
    EXPECT_EQ(DiskDescriptorFactory::getInstance()->CreateDiskDescriptor(Paras(KVM_T9, INT32_MIN), d), -1);
    EXPECT_TRUE(cap.Contains("newVolumeOffsetSize(-2) is invalid", 4)) << cap.Dump();
    EXPECT_TRUE(cap.Contains("newVolumeOffsetSize(-2147483648) is invalid", 4));
    EXPECT_EQ(NewLoads(), 0u);
    EXPECT_EQ(d, nullptr);
}

TEST_F(FactoryRoot, ConcurrentInstancesAndLoadsOpenOnce)
{
    Link(T9_PLUGIN_PATH, "libt9_plugin-1.0.0.so");
    LogCapture cap;
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
    auto* b = DiskDescriptorFactory::getInstance();
    EXPECT_EQ(a, b);
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
