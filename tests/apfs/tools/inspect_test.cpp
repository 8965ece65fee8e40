// Diffs apfs-inspect's output against the fixtures' manifests and checks name lookups against
// lookups.txt. The manifests were written by independent readers; where the reader by design gives
// something else, the comparison says so where it is relaxed.
#include "inspect.h"

#include "apfs_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using apfs_test::UseTestDevices;

constexpr const char* kPassword = "volarix-TEST-pw";
// enc_ci is not kept in the repository; link-enc-ci.cmake links it here when it is available.
constexpr const char* kEncCiVolume = "\\\\.\\HarddiskVolume59";

enum Field { kVolume, kPath, kInode, kParent, kMode, kSize, kNlink, kSha, kTarget, kXattrs, kFieldCount };

struct Manifest {
    std::vector<std::string> header; // "# container" and "# volume" lines
    std::map<std::string, std::vector<std::string>> entries;
};

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep))
        parts.push_back(part);
    if (!s.empty() && s.back() == sep)
        parts.push_back("");
    return parts;
}

Manifest Parse(const std::string& text) {
    Manifest m;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# container", 0) == 0 || line.rfind("# volume", 0) == 0) {
            m.header.push_back(line);
        } else if (!line.empty() && line[0] != '#') {
            std::vector<std::string> f = Split(line, '|');
            if (f.size() == kFieldCount)
                m.entries[f[kPath]] = f;
            else
                ADD_FAILURE() << "malformed line: " << line;
        }
    }
    return m;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ManifestText(const std::string& image) {
    return ReadText(std::string(VOLARIX_TEST_DATA) + "/apfs/" + image + ".manifest.txt");
}

// SIZE of attribute name in a manifest xattrs field, or -1.
long long XattrSize(const std::string& xattrs, const std::string& name) {
    for (const std::string& a : Split(xattrs, ';')) {
        if (a.rfind(name + "=", 0) == 0)
            return std::stoll(a.substr(name.size() + 1));
    }
    return -1;
}

void ExpectSameTree(const Manifest& expected, const Manifest& actual) {
    EXPECT_EQ(expected.header, actual.header);
    EXPECT_EQ(expected.entries.size(), actual.entries.size());
    int reported = 0;
    for (const auto& [path, want] : expected.entries) {
        auto it = actual.entries.find(path);
        if (it == actual.entries.end()) {
            ADD_FAILURE() << "missing: " << path;
            if (++reported > 20)
                return;
            continue;
        }
        const std::vector<std::string>& got = it->second;
        for (int f = 0; f < kFieldCount; f++) {
            std::string w = want[f];
            // A symbolic link's size is its target attribute's size plus one: the reader's size
            // rule, where the other readers say 0.
            if (f == kSize && want[kMode].rfind("12", 0) == 0)
                w = std::to_string(XattrSize(want[kXattrs], "com.apple.fs.symlink") + 1);
            // The reader does not decompress: a compressed file's contents are not compared, only
            // its uncompressed size.
            if (f == kSha && XattrSize(want[kXattrs], "com.apple.decmpfs") >= 0)
                continue;
            if (got[f] != w) {
                ADD_FAILURE() << path << ": field " << f << " is '" << got[f] << "', expected '" << w << "'";
                if (++reported > 20)
                    return;
            }
        }
    }
}

struct Image {
    const char* name;
    const char* device;
    const char* password;
};

class ManifestTest : public testing::TestWithParam<Image> {
  protected:
    void SetUp() override { UseTestDevices(); }
};

TEST_P(ManifestTest, OutputEqualsManifest) {
    InspectOptions o;
    o.device = GetParam().device;
    o.password = GetParam().password;
    std::string out, err;
    ASSERT_EQ(0, RunInspect(o, out, err)) << err;
    EXPECT_EQ("", err);
    ExpectSameTree(Parse(ManifestText(GetParam().name)), Parse(out));
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ManifestTest,
    testing::Values(Image{"dfvfs_apfs", apfs_test::kDfvfsVolume, nullptr},
                    Image{"pop_ci_1g", apfs_test::kPopCiVolume, nullptr},
                    Image{"pop_cs_1g", apfs_test::kPopCsVolume, nullptr},
                    Image{"pop_csns_1g", apfs_test::kPopCsnsVolume, nullptr},
                    Image{"apfs_forensic_container_chain", apfs_test::kContainerChainVolume, nullptr},
                    Image{"apfs_forensic_fstree", apfs_test::kFstreeVolume, nullptr},
                    Image{"apfs_forensic_content", apfs_test::kContentVolume, nullptr},
                    Image{"enc_dfvfs", apfs_test::kEncDfvfsVolume, kPassword}),
    [](const testing::TestParamInfo<Image>& info) { return std::string(info.param.name); });

std::vector<uint8_t> g_layout;

#ifdef _WIN32
apfs_test::DeviceIoControlFn g_ioctl;

// Wine answers no drive layout for a file: the stand-in answers from the image's own GPT.
BOOL WINAPI LayoutIoctl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                        LPDWORD returned, LPOVERLAPPED overlapped) {
    if (code != IOCTL_DISK_GET_DRIVE_LAYOUT_EX)
        return g_ioctl(handle, code, in, in_size, out, out_size, returned, overlapped);
    if (out_size < g_layout.size())
        return FALSE;
    memcpy(out, g_layout.data(), g_layout.size());
    *returned = static_cast<DWORD>(g_layout.size());
    return TRUE;
}
#endif

TEST(Manifest, GptDiskGivesTheSameTreeAsTheBareContainer) {
    UseTestDevices();
    ASSERT_TRUE(apfs_test::GptDriveLayout(apfs_test::FixturePath("gpt_dfvfs_apfs.img"), &g_layout));
#ifdef _WIN32
    apfs_test::IoctlStandIn stand_in(&LayoutIoctl);
    ASSERT_TRUE(stand_in.Active());
    g_ioctl = stand_in.Original();
#endif
    InspectOptions o;
    o.device = apfs_test::kGptDisk;
    std::string out, err;
    ASSERT_EQ(0, RunInspect(o, out, err)) << err;
    ExpectSameTree(Parse(ManifestText("dfvfs_apfs")), Parse(out));
}

TEST(Manifest, CarvedHeadWithoutObjectMapDoesNotOpen) {
    UseTestDevices();
    InspectOptions o;
    o.device = apfs_test::kNxsbHeadVolume;
    std::string out, err;
    EXPECT_NE(0, RunInspect(o, out, err));
    EXPECT_TRUE(Parse(out).entries.empty());
}

class Encryption : public testing::Test {
  protected:
    void SetUp() override { UseTestDevices(); }
    int Run(const char* device, const char* password, std::string* out = nullptr) {
        InspectOptions o;
        o.device = device;
        o.password = password;
        std::string text, err;
        int rc = RunInspect(o, text, err);
        if (out)
            *out = text;
        return rc;
    }
};

TEST_F(Encryption, WithoutPasswordReportsAnEncryptedVolume) {
    EXPECT_EQ(kInspectEncrypted, Run(apfs_test::kEncDfvfsVolume, nullptr));
}

TEST_F(Encryption, WrongPasswordDoesNotMount) {
    EXPECT_EQ(kInspectEncrypted, Run(apfs_test::kEncDfvfsVolume, "volarix-TEST-PW"));
    EXPECT_EQ(kInspectEncrypted, Run(apfs_test::kEncDfvfsVolume, ""));
}

TEST_F(Encryption, MultiLevelTreeEqualsPlainSource) {
    std::ifstream probe(std::string(VOLARIX_FIXTURES_DIR) + "/enc_ci.img");
    if (!probe)
        GTEST_SKIP() << "enc_ci.img.zst is not in the shared fixtures folder";
    EXPECT_EQ(kInspectEncrypted, Run(kEncCiVolume, nullptr));
    EXPECT_EQ(kInspectEncrypted, Run(kEncCiVolume, "wrong"));
    std::string out;
    ASSERT_EQ(0, Run(kEncCiVolume, kPassword, &out));
    ExpectSameTree(Parse(ManifestText("enc_ci")), Parse(out));
}

// Every stored name is found through its key, in every directory.
class LookupTest : public testing::TestWithParam<Image> {};

TEST_P(LookupTest, EveryManifestPathResolvesToItsInode) {
    UseTestDevices();
    Manifest m = Parse(ManifestText(GetParam().name));
    InspectOptions o;
    o.device = GetParam().device;
    o.password = GetParam().password;
    std::vector<std::string> inodes;
    for (const auto& [path, fields] : m.entries) {
        o.lookups.push_back(path);
        inodes.push_back(fields[kInode]);
    }
    std::string out, err;
    ASSERT_EQ(0, RunInspect(o, out, err)) << err;
    std::vector<std::string> lines = Split(out, '\n');
    ASSERT_GE(lines.size(), o.lookups.size());
    for (size_t i = 0; i < o.lookups.size(); i++) {
        std::vector<std::string> f = Split(lines[i], '|');
        ASSERT_EQ(size_t(kFieldCount), f.size()) << o.lookups[i] << ": " << lines[i];
        EXPECT_EQ(inodes[i], f[kInode]) << o.lookups[i];
    }
}

// The csns image keys its directory records by name alone (j_drec_key_t).
INSTANTIATE_TEST_SUITE_P(Volumes, LookupTest,
                         testing::Values(Image{"pop_ci_1g", apfs_test::kPopCiVolume, nullptr},
                                         Image{"pop_cs_1g", apfs_test::kPopCsVolume, nullptr},
                                         Image{"pop_csns_1g", apfs_test::kPopCsnsVolume, nullptr},
                                         Image{"dfvfs_apfs", apfs_test::kDfvfsVolume, nullptr},
                                         Image{"apfs_forensic_content", apfs_test::kContentVolume, nullptr},
                                         Image{"enc_dfvfs", apfs_test::kEncDfvfsVolume, kPassword}),
                         [](const testing::TestParamInfo<Image>& info) {
                             return std::string(info.param.name);
                         });

// Containers with several volumes that tests/letters makes (make-probe-images.py) from dfvfs_apfs
// and enc_dfvfs, roles by index. Only the volume that the data-volume choice must find mounts; the
// last byte of each volume's UUID is its index.
constexpr const char* kSystemData = "\\\\.\\HarddiskVolume71";    // system, data
constexpr const char* kUpdateData = "\\\\.\\HarddiskVolume72";    // 0xC0, data
constexpr const char* kNoData = "\\\\.\\HarddiskVolume73";        // preboot, recovery, 0xC0
constexpr const char* kFive = "\\\\.\\HarddiskVolume74";          // system, preboot, recovery, VM, data
constexpr const char* kEncryptedData = "\\\\.\\HarddiskVolume75"; // system that mounts, encrypted data
constexpr const char* kBrokenData = "\\\\.\\HarddiskVolume76";    // system that mounts, data that does not

class DataVolumeChoice : public testing::Test {
  protected:
    void SetUp() override { UseTestDevices(); }
    int Run(const char* device, int volume = -1, const char* password = nullptr) {
        InspectOptions o;
        o.device = device;
        o.volume = volume;
        o.password = password;
        m_out.clear();
        m_err.clear();
        return RunInspect(o, m_out, m_err);
    }
    bool Printed(const std::string& text) const { return m_out.find(text) != std::string::npos; }
    std::string m_out, m_err;
};

TEST_F(DataVolumeChoice, FirstVolumeWhoseRoleIsNoneOrDataIsMounted) {
    struct Case {
        const char* device;
        const char* header;
    } cases[] = {
        {kSystemData, "volumes=2\n# volume 1: uuid=458ed10d-8ac3-4af1-8dfd-3954d151a301 "},
        {kUpdateData, "volumes=2\n# volume 1: uuid=458ed10d-8ac3-4af1-8dfd-3954d151a301 "},
        {kNoData, "volumes=3\n# volume 0: uuid=458ed10d-8ac3-4af1-8dfd-3954d151a300 "},
        {kFive, "volumes=5\n# volume 4: uuid=458ed10d-8ac3-4af1-8dfd-3954d151a304 "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0, Run(c.device)) << c.device << ": " << m_err;
        EXPECT_TRUE(Printed(c.header)) << c.device << ":\n" << m_out;
    }
}

TEST_F(DataVolumeChoice, SystemVolumeThatMountsDoesNotStandInForTheDataVolume) {
    EXPECT_EQ(kInspectEncrypted, Run(kEncryptedData));
    EXPECT_EQ("apfs-inspect: volume 1 does not mount (encrypted)\n", m_err);
    EXPECT_EQ(1, Run(kBrokenData));
    EXPECT_EQ("apfs-inspect: volume 1 does not mount\n", m_err);
    for (const char* device : {kEncryptedData, kBrokenData}) {
        EXPECT_EQ(0, Run(device, 0)) << device << ": " << m_err;
        EXPECT_TRUE(Printed("volumes=2\n# volume 0: uuid=458ed10d-8ac3-4af1-8dfd-3954d151a300 ")) << m_out;
    }
    // The data volume keeps its own key: it unlocks at index 1 with the system volume before it.
    EXPECT_EQ(0, Run(kEncryptedData, -1, kPassword)) << m_err;
    EXPECT_TRUE(Printed("# volume 1: locked; unlock with password: ok\n"
                        "# volume 1: uuid=458ed10d-8ac3-4af1-8dfd-3954d151a3f3 "))
        << m_out;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Case and normalisation variants. The expected result is the Linux driver's, except where the
// two oracles differ: there the name compare, which decodes but does not decompose, finds a
// canonically equivalent spelling of the other form under the same hash but not equal, as
// libfsapfs does.
TEST(Lookup, CaseAndNormalisationVariantsFollowTheVolumesRule) {
    UseTestDevices();
    std::map<std::string, const char*> devices = {{"pop_ci_1g.img", apfs_test::kPopCiVolume},
                                                  {"pop_cs_1g.img", apfs_test::kPopCsVolume},
                                                  {"pop_csns_1g.img", apfs_test::kPopCsnsVolume}};
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> queries;
    std::istringstream in(ReadText(std::string(VOLARIX_TEST_DATA) + "/apfs/lookups.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = Split(line, '|');
        ASSERT_EQ(5u, f.size()) << line;
        if (!devices.count(f[0]))
            continue;
        std::string expected = f[3] == f[4] ? f[3] : f[4];
        queries[f[0]].emplace_back(Unhex(f[1]), expected);
    }
    ASSERT_EQ(3u, queries.size());
    for (const auto& [image, list] : queries) {
        InspectOptions o;
        o.device = devices[image];
        for (const auto& q : list)
            o.lookups.push_back(q.first);
        std::string out, err;
        ASSERT_EQ(0, RunInspect(o, out, err)) << err;
        std::vector<std::string> lines = Split(out, '\n');
        ASSERT_GE(lines.size(), list.size());
        for (size_t i = 0; i < list.size(); i++) {
            std::string got = lines[i] == "not found" ? "absent" : Split(lines[i], '|')[kInode];
            EXPECT_EQ(list[i].second, got) << image << " " << list[i].first;
        }
    }
}

// dfvfs_apfs's file-system tree is one leaf, the root node at block 101, mapped from oid 1028 by the
// object map's leaf at block 103. SplitFsTree moves the leaf to a free block under an index root,
// as in a volume of more files, where a look-up that misses the leaf costs a transfer.
constexpr uint64_t kFsRoot = 101, kOmapLeaf = 103, kLeafBlock = 1000, kLeafOid = 1030;
constexpr size_t kInfoSize = 40; // btree_info_t, at the end of a root node

void SplitFsTree(apfs_test::EditedImage& image) {
    std::vector<uint8_t> leaf = image.Block(kFsRoot), root = leaf;
    apfs_put_le64(&leaf[8], kLeafOid);
    apfs_put_le32(&leaf[24], 3); // btree node, no longer the root
    apfs_put_le16(&leaf[32], 2); // leaf
    // Its values now end at the block's end, after where the info was.
    for (uint32_t i = 0; i < apfs_le32(&leaf[36]); i++)
        apfs_put_le16(&leaf[56 + 8 * i + 4], apfs_le16(&leaf[56 + 8 * i + 4]) + kInfoSize);
    image.Put(kLeafBlock, leaf);
    // The root's one entry is the leaf's first key; the key area follows the table of contents.
    size_t keys = 56 + apfs_le16(&root[42]);
    uint16_t key_off = apfs_le16(&root[56]), key_len = apfs_le16(&root[58]);
    memmove(&root[keys], &root[keys + key_off], key_len);
    apfs_put_le16(&root[32], 1);
    apfs_put_le16(&root[34], 1);
    apfs_put_le32(&root[36], 1);
    const uint16_t entry[] = {0, key_len, 8, 8};
    for (int i = 0; i < 4; i++)
        apfs_put_le16(&root[56 + 2 * i], entry[i]);
    apfs_put_le64(&root[4096 - kInfoSize - 8], kLeafOid);
    image.Put(kFsRoot, root);
    // The map's second entry, in the free slots after its first: (oid, xid) to (flags, size, paddr).
    std::vector<uint8_t> map = image.Block(kOmapLeaf);
    apfs_put_le32(&map[36], 2);
    apfs_put_le16(&map[60], 32);
    apfs_put_le16(&map[62], 48);
    size_t key = 56 + apfs_le16(&map[42]) + 32, value = 4096 - kInfoSize - 48;
    apfs_put_le64(&map[key], kLeafOid);
    apfs_put_le64(&map[key + 8], apfs_le64(&root[16]));
    apfs_put_le32(&map[value + 4], 4096);
    apfs_put_le64(&map[value + 8], kLeafBlock);
    image.Put(kOmapLeaf, map);
}

// Bytes of the leaf. /passwords.txt (inode 18) has one extent, of one block at logical 0.
constexpr size_t kADirectoryIdAt = 3778;   // file_id of the root's record of a_directory
constexpr size_t kPasswordsSizeAt = 3176;  // j_dstream_t size of /passwords.txt
constexpr size_t kPasswordsExtentAt = 648; // logical address in its extent's key

// A walk of the split image takes about twenty transfers.
constexpr uint64_t kWalkUnits = 64;

// Each walk ends at once, in a clear failure or a whole listing, within a few transfers.
TEST(CraftedImage, WalkEndsInAClearFailureOrAWholeListing) {
    struct Edit {
        size_t at;
        uint64_t was, value;
    };
    struct Case {
        const char* name;
        std::vector<Edit> edits;
        int rc;
        const char* text; // in err when the walk fails, else in out with err empty
    } cases[] = {
        {"cycle", {{kADirectoryIdAt, 16, 2}}, 1, "/a_directory names directory 2, which holds it"},
        {"huge", {{kPasswordsSizeAt, 116, 1ull << 62}}, 1, "/passwords.txt: 4611686018427387904 bytes"},
        // 64 MiB of hole, which took a transfer per block, then the stored block.
        {"hole",
         {{kPasswordsSizeAt, 116, (64u << 20) + 116}, {kPasswordsExtentAt, 0, 64u << 20}},
         0,
         "|67108980|1|674a17ae3795df91b05fbf7cd746a742fc800f75b00d0ed36f73b3c60a72e5ff|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apfs_test::EditedImage image("dfvfs_apfs.raw", std::string("crafted-") + c.name + ".img");
        SplitFsTree(image);
        std::vector<uint8_t> leaf = image.Block(kLeafBlock);
        for (const Edit& e : c.edits) {
            ASSERT_EQ(e.was, apfs_le64(&leaf[e.at]));
            apfs_put_le64(&leaf[e.at], e.value);
        }
        image.Put(kLeafBlock, leaf);
        apfs_test::ImageReader reader(image.Path());
        ASSERT_TRUE(reader.Ok());
        std::string out, err;
        EXPECT_EQ(c.rc, InspectReader(InspectOptions(), reader.Get(), out, err)) << err;
        EXPECT_NE(std::string::npos, (c.rc ? err : out).find(c.text)) << err << out;
        if (c.rc == 0) {
            EXPECT_EQ("", err);
        }
        EXPECT_LT(reader.Get()->units, kWalkUnits);
    }
}

// Areas of make-hostile-trees.py, the newest checkpoint torn, so that the open walks the whole
// area for the checkpoints before it: one of 2^24 blocks is refused before a block of it is read,
// the largest a formatter makes (280) is read once and the tree listed.
TEST(CraftedImage, CheckpointAreaPastTheLimitIsRefusedUnread) {
    const struct {
        const char* image;
        int rc;
        const char* err;
        uint64_t most_units;
    } cases[] = {
        {"hostile_area_sparse.img", 1,
         "apfs-inspect: the checkpoint area of 16777215 blocks is larger than the 16384 this tool walks\n",
         1},
        {"hostile_area_real.img", 0, "", 280 + kWalkUnits}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        apfs_test::ImageReader reader(apfs_test::FixturePath(c.image));
        ASSERT_TRUE(reader.Ok());
        std::string out, err;
        EXPECT_EQ(c.rc, InspectReader(InspectOptions(), reader.Get(), out, err));
        EXPECT_EQ(c.err, err);
        EXPECT_LE(reader.Get()->units, c.most_units);
    }
}

} // namespace
