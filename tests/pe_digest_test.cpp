// The digest that pins the validation library: its value for the shipped library, the bytes
// it leaves out (checksum, certificate directory entry, certificate table) and the ones it
// does not, and its behaviour on malformed files.
#include "support/TrustTestSupport.h"
#include "trust/PeFileDigest.h"
#include "trust/ValidationLibrary.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

using namespace testsupport;
using namespace trusttest;

namespace {

class PeDigest : public ::testing::Test {
protected:
    PeDigest() : m_folder(L"pe-digest") {}
    void SetUp() override
    {
        m_shipped = ReadFileBytes(PackageLibraryPath());
        ASSERT_GT(m_shipped.size(), 65536u) << "the shipped library should span more than one read chunk";
        m_header = PeHeaderOffset(m_shipped);
        m_tableOffset = LoadU32(m_shipped, m_header + 168);
        m_tableSize = LoadU32(m_shipped, m_header + 172);
        ASSERT_GT(m_tableSize, 0u) << "the shipped library should be signed";
        ASSERT_EQ(m_shipped.size(), static_cast<size_t>(m_tableOffset) + m_tableSize);
    }
    std::wstring Write(const std::wstring& name, const std::vector<unsigned char>& bytes)
    {
        const std::wstring path = m_folder.File(name);
        WriteFileBytes(path, bytes);
        return path;
    }

    ScratchFolder m_folder;
    std::vector<unsigned char> m_shipped;
    uint32_t m_header = 0;
    uint32_t m_tableOffset = 0;
    uint32_t m_tableSize = 0;
};

TEST_F(PeDigest, ShippedLibraryHasThePinnedDigest)
{
    const std::wstring pinned = PinnedValidationLibraryDigest();
    EXPECT_TRUE(std::regex_match(Narrow(pinned), std::regex("[0-9A-F]{64}"))) << Narrow(pinned);
    EXPECT_EQ(pinned, ComputePeFileDigest(PackageLibraryPath().c_str()));
    // The chunked file reader agrees with a plain reading of the format over the whole file.
    EXPECT_EQ(ModelDigest(m_shipped), ComputePeFileDigestUnverified(PackageLibraryPath().c_str()));
    EXPECT_NE(Sha256Hex(m_shipped), pinned) << "the left-out places must make a difference";
}

TEST_F(PeDigest, SignatureByAnotherCertificateKeepsTheDigest)
{
    const std::vector<unsigned char> resigned = ReadFileBytes(FixtureLibraryPath(L"resigned"));
    ASSERT_NE(m_shipped, resigned) << "the re-signed fixture should differ from the shipped file";
    EXPECT_EQ(std::wstring(PinnedValidationLibraryDigest()),
              ComputePeFileDigest(FixtureLibraryPath(L"resigned").c_str()));
}

TEST_F(PeDigest, ChecksumFieldChangeKeepsTheDigest)
{
    std::vector<unsigned char> bytes = m_shipped;
    StoreU32(bytes, m_header + 88, LoadU32(bytes, m_header + 88) ^ 0xA5A5A5A5u);
    const std::wstring path = Write(kValidationLibraryFileName, bytes);
    EXPECT_EQ(std::wstring(PinnedValidationLibraryDigest()), ComputePeFileDigest(path.c_str()));
}

// Any byte outside the three places: another digest, and the platform no longer trusts the
// signature, so the verified digest is empty and the library is not approved.
TEST_F(PeDigest, AnyOtherChangedByteChangesTheDigest)
{
    const uint64_t offsets[] = {2, 59, m_header + 4, m_header + 87, m_header + 92, m_header + 167,
                                m_header + 176, 4096, 65535, 65536, m_tableOffset - 1};
    for (uint64_t offset : offsets) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        std::vector<unsigned char> bytes = m_shipped;
        bytes.at(offset) ^= 0x01;
        const std::wstring path = Write(kValidationLibraryFileName, bytes);
        const std::wstring unverified = ComputePeFileDigestUnverified(path.c_str());
        EXPECT_EQ(64u, unverified.size());
        EXPECT_NE(std::wstring(PinnedValidationLibraryDigest()), unverified);
        EXPECT_EQ(ModelDigest(bytes), unverified);
        EXPECT_EQ(L"", ComputePeFileDigest(path.c_str()));

        OsmiraAssemblyValidation binding;
        EXPECT_FALSE(LoadValidationLibraryFrom(&binding, m_folder.Path().c_str(), PinnedValidationLibraryDigest()));
        EXPECT_EQ(nullptr, binding.module);
        EXPECT_EQ(nullptr, binding.ValidateAssembly);
        EXPECT_EQ(nullptr, ::GetModuleHandleW(path.c_str()));
    }
}

// A damaged signature leaves the bytes that are hashed unchanged, but the platform refuses it.
TEST_F(PeDigest, DamagedSignatureGivesNoDigest)
{
    std::vector<unsigned char> bytes = m_shipped;
    bytes.at(m_tableOffset + m_tableSize / 2) ^= 0xFF;
    const std::wstring path = Write(kValidationLibraryFileName, bytes);
    EXPECT_EQ(std::wstring(PinnedValidationLibraryDigest()), ComputePeFileDigestUnverified(path.c_str()));
    EXPECT_EQ(L"", ComputePeFileDigest(path.c_str()));
}

// The same bytes signed under a root the prefix does not trust: the platform refuses the
// signature, so there is no digest, although the hashed bytes are the approved ones. The
// signer certificate has the package signer's subject; only its root differs.
TEST_F(PeDigest, SignatureUnderAnUntrustedRootGivesNoDigest)
{
    const std::wstring path = FixtureLibraryPath(L"untrusted");
    EXPECT_EQ(std::wstring(PinnedValidationLibraryDigest()), ComputePeFileDigestUnverified(path.c_str()));
    EXPECT_EQ(L"", ComputePeFileDigest(path.c_str()));
}

TEST_F(PeDigest, UnsignedMissingOrUnnamedFileGivesNoDigest)
{
    EXPECT_EQ(L"", ComputePeFileDigest(FixtureLibraryPath(L"unsigned").c_str()));
    EXPECT_EQ(64u, ComputePeFileDigestUnverified(FixtureLibraryPath(L"unsigned").c_str()).size());
    EXPECT_EQ(L"", ComputePeFileDigest(m_folder.File(L"missing.dll").c_str()));
    EXPECT_EQ(L"", ComputePeFileDigestUnverified(m_folder.File(L"missing.dll").c_str()));
    EXPECT_EQ(L"", ComputePeFileDigest(L""));
    EXPECT_EQ(L"", ComputePeFileDigestUnverified(L""));
    EXPECT_EQ(L"", ComputePeFileDigestUnverified(nullptr));
}

// Files whose headers lie: each named case has the outcome that a plain reading of the format
// gives, and the reader never needs bytes that the file does not have.
TEST_F(PeDigest, MalformedHeadersGiveAWellDefinedDigest)
{
    struct Case {
        const char* name;
        std::function<void(std::vector<unsigned char>&)> edit;
        bool expectEmpty;
    };
    const uint32_t header = m_header;
    const Case cases[] = {
        {"empty file", [](std::vector<unsigned char>& b) { b.clear(); }, true},
        {"ends inside the DOS header", [](std::vector<unsigned char>& b) { b.resize(63); }, true},
        {"only the DOS header", [](std::vector<unsigned char>& b) { b.resize(64); }, true},
        {"ends one byte before the headers end", [=](std::vector<unsigned char>& b) { b.resize(header + 263); }, true},
        {"ends where the headers end", [=](std::vector<unsigned char>& b) { b.resize(header + 264); }, false},
        {"PE header beyond the end", [](std::vector<unsigned char>& b) { StoreU32(b, 60, static_cast<uint32_t>(b.size()) + 16); }, true},
        {"PE header offset negative", [](std::vector<unsigned char>& b) { StoreU32(b, 60, 0x80000000u); }, true},
        {"PE header offset 0xFFFFFFFF", [](std::vector<unsigned char>& b) { StoreU32(b, 60, 0xFFFFFFFFu); }, true},
        {"PE header at offset 0", [](std::vector<unsigned char>& b) { StoreU32(b, 60, 0); }, false},
        {"certificate table beyond the end", [=](std::vector<unsigned char>& b) { StoreU32(b, header + 168, 0x7FFFFF00u); }, false},
        {"certificate table size negative", [=](std::vector<unsigned char>& b) { StoreU32(b, header + 172, 0x80000000u); }, false},
        {"certificate table size 0xFFFFFFFF", [=](std::vector<unsigned char>& b) { StoreU32(b, header + 172, 0xFFFFFFFFu); }, false},
        {"certificate table size huge", [=](std::vector<unsigned char>& b) { StoreU32(b, header + 172, 0x7FFFFFFFu); }, false},
        {"certificate table wraps past 4 GiB", [=](std::vector<unsigned char>& b) {
             StoreU32(b, header + 168, 0xFFFFFF00u);
             StoreU32(b, header + 172, 0x7FFFFFFFu); }, false},
        {"certificate table over the headers", [=](std::vector<unsigned char>& b) {
             StoreU32(b, header + 168, 16);
             StoreU32(b, header + 172, header + 100); }, false},
        {"certificate table inside the checksum", [=](std::vector<unsigned char>& b) {
             StoreU32(b, header + 168, header + 89);
             StoreU32(b, header + 172, 2); }, false},
        {"certificate table over its own entry", [=](std::vector<unsigned char>& b) {
             StoreU32(b, header + 168, header + 160);
             StoreU32(b, header + 172, 4000); }, false},
        {"certificate table from offset 0 to the end", [=](std::vector<unsigned char>& b) {
             StoreU32(b, header + 168, 0);
             StoreU32(b, header + 172, static_cast<uint32_t>(b.size())); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes = m_shipped;
        c.edit(bytes);
        const std::wstring path = Write(L"malformed.dll", bytes);
        const std::wstring digest = ComputePeFileDigestUnverified(path.c_str());
        EXPECT_EQ(c.expectEmpty, digest.empty()) << Narrow(digest);
        EXPECT_EQ(ModelDigest(bytes), digest);
        EXPECT_EQ(L"", ComputePeFileDigest(path.c_str()));
    }
}

// Thousands of seeded mutations of the shipped library: truncations, header offsets and
// certificate table fields from the whole 32-bit range and near the file's edges, and random
// bytes in the headers. The reader must agree with the in-memory model on every one.
TEST_F(PeDigest, SeededMutationsMatchTheModel)
{
    std::mt19937 random(20240611u);
    const uint32_t size = static_cast<uint32_t>(m_shipped.size());
    auto pick = [&](uint32_t limit) { return std::uniform_int_distribution<uint32_t>(0, limit)(random); };
    auto edgy = [&]() -> uint32_t {
        switch (pick(5)) {
        case 0: return pick(0xFFFFFFFFu);
        case 1: return pick(1024);
        case 2: return size - 512 + pick(1024);
        case 3: return 0x80000000u + pick(16) - 8;
        case 4: return 0xFFFFFFFFu - pick(16);
        default: return pick(size);
        }
    };
    const int kFiles = 3000;
    int empty = 0;
    int differentFromPinned = 0;
    for (int i = 0; i < kFiles; ++i) {
        std::vector<unsigned char> bytes = m_shipped;
        const uint32_t header = m_header;
        switch (pick(5)) {
        case 0: bytes.resize(pick(1) ? pick(header + 300) : pick(size)); break;
        case 1: StoreU32(bytes, 60, edgy()); break;
        case 2: StoreU32(bytes, header + 168, edgy()); break;
        case 3: StoreU32(bytes, header + 172, edgy()); break;
        case 4:
            StoreU32(bytes, header + 168, edgy());
            StoreU32(bytes, header + 172, edgy());
            break;
        default:
            for (int n = 0; n < 8; ++n) bytes[pick(header + 263)] = static_cast<unsigned char>(pick(255));
            break;
        }
        const std::wstring path = Write(L"mutated.dll", bytes);
        const std::wstring digest = ComputePeFileDigestUnverified(path.c_str());
        const std::wstring expected = ModelDigest(bytes);
        ASSERT_EQ(expected, digest) << "mutation " << i << " (" << bytes.size() << " bytes, PE header at "
                                    << (bytes.size() >= 64 ? PeHeaderOffset(bytes) : 0) << ")";
        if (digest.empty()) ++empty;
        if (digest != PinnedValidationLibraryDigest()) ++differentFromPinned;
    }
    // The mutations reach both outcomes, so neither path is left untried.
    EXPECT_GT(empty, kFiles / 20);
    EXPECT_GT(kFiles - empty, kFiles / 2);
    EXPECT_GT(differentFromPinned, kFiles / 2);
}

} // namespace
