#include "nv/nvm_file.h"

#include <algorithm>

namespace pellan {
namespace {

// One entry of the list: a single id, or every id from `first` to `last` ascending.
struct NvIdSpan {
    constexpr NvIdSpan(uint16_t id) : first(id), last(id) {}
    constexpr NvIdSpan(uint16_t from, uint16_t to) : first(from), last(to) {}
    uint16_t first;
    uint16_t last;
};

// Ranges stay ranges so that the table reads like the item groups it saves and can be checked
// against them entry by entry.
// clang-format off
constexpr NvIdSpan kNvBackupSpans[] = {
    5479, 5065, {3969, 3972}, 5059, 529, 530, 2009, 2010, 531, 532, 2011, 2012, 540, 5459, 5465,
    5471, 856, 857, 524, 865, 866, 525, 867, 868, 3759, 3767, 3765, 3778, 3779, 3766, 3781, 3782,
    5060, {3973, 3976}, 5054, 1844, 1845, 2055, 2056, 1846, 1847, 2057, 2058, 1864, 5461, 5467,
    5473, 1814, 1815, 1839, 1823, 1824, 1840, 1825, 1826, 3819, 3820, 3834, 3835, 3836, 3838, 3839,
    3840, 5064, {3977, 3980}, 5058, 1173, 1174, 2030, 2031, 1175, 1176, 2032, 2033, 1184, 5460,
    5466, 5472, 1143, 1144, 1168, 1152, 1153, 1169, 1154, 1155, 3789, 3790, 3815, 3804, 3805, 3816,
    3807, 3808, 5061, {3981, 3984}, 5055, 3680, 3681, 3706, 3707, 3682, 3683, 3708, 3709, 3691,
    5464, 5470, 5476, 3650, 3651, 3675, 3659, 3660, 3676, 3661, 3662, 4463, 4464, 4489, 4478, 4479,
    4490, 4481, 4482, 5062, {4112, 4115}, 5056, 4025, 4026, 4051, 4052, 4027, 4028, 4053, 4054,
    4036, 5462, 5468, 5474, 3995, 3996, 4020, 4004, 4005, 4021, 4006, 4007, 4953, 4954, 1881, 1885,
    1886, 1887, 1889, 1888, 4212, 7024, 7025, 7123, 7124, 7125, 5067, 5068, 5069, 5066, 5067, 5068,
    5069, 5066, 5331, 5299, 5492, 5540, 5332, 5300, 5493, 5541, 5333, 5301, 5494, 5542, 5334, 5302,
    5495, 5543, 5335, 5303, 5496, 5544, 5336, 5304, 5497, 5545, 5337, 5305, 5498, 5546, 5338, 5306,
    5499, 5547, 5419, 5403, 5500, 5548, 5420, 5404, 5501, 5549, 5421, 5405, 5502, 5550, 5422, 5406,
    5503, 5551, 5698, 5339, 5307, 5504, 5552, 5341, 5309, 5506, 5554, 5342, 5310, 5507, 5555, 5343,
    5311, 5508, 5556, 5345, 5313, 5510, 5558, 5346, 5314, 5511, 5559, 5423, 5407, 5512, 5560, 5425,
    5409, 5514, 5562, 5426, 5410, 5515, 5563, 5699, 5347, 5315, 5516, 5564, 5349, 5317, 5518, 5566,
    5350, 5318, 5519, 5567, 5351, 5319, 5520, 5568, 5353, 5321, 5522, 5570, 5354, 5322, 5523, 5571,
    5427, 5411, 5524, 5572, 5429, 5413, 5526, 5574, 5430, 5414, 5527, 5575, 5700, 5323, 5299, 5492,
    5528, 5324, 5300, 5493, 5529, 5325, 5301, 5494, 5530, 5326, 5302, 5495, 5531, 5327, 5303, 5496,
    5532, 5328, 5304, 5497, 5533, 5329, 5305, 5498, 5534, 5330, 5306, 5499, 5535, 5415, 5403, 5500,
    5536, 5416, 5404, 5501, 5537, 5417, 5405, 5502, 5538, 5418, 5406, 5503, 5539, 5697, 5613, 5614,
    5617, 5618, 5621, 5622, 5661, 5662, 5665, 5666, 5669, 5670, 5625, 5626, 5629, 5630, 5633, 5634,
    5673, 5674, 5677, 5678, 5681, 5682, 5637, 5638, 5641, 5642, 5645, 5646, 5685, 5686, 5689, 5690,
    5693, 5694, 5601, 5602, 5605, 5606, 5609, 5610, 5649, 5650, 5653, 5654, 5657, 5658, {726, 733},
    {1058, 1061}, {1102, 1105}, 2770, 2771, 2773, 2772, 537, 2017, 2019, 538, 2018, 2020, 1181,
    2038, 2040, 1182, 2039, 2041, 2889, 2919, 2921, 2890, 2920, 2922, 4033, 4059, 4061, 4034, 4060,
    4062, 1861, 2063, 2065, 1862, 2064, 2066, 3688, 3714, 3716, 3689, 3715, 3717, 1801, 2021, 2023,
    1802, 2022, 2024, 1965, 2042, 2044, 1966, 2043, 2045, 2913, 2923, 2925, 2914, 2924, 2926, 4081,
    4063, 4065, 4082, 4064, 4066, 1963, 2067, 2069, 1964, 2068, 2070, 3736, 3718, 3720, 3737, 3719,
    3721, {8000, 8030}, 550, 22,
};
// clang-format on

constexpr size_t SpanIdCount() {
    size_t n = 0;
    for (const NvIdSpan& span : kNvBackupSpans) {
        n += static_cast<size_t>(span.last - span.first) + 1;
    }
    return n;
}
static_assert(SpanIdCount() == kNvBackupListSize, "the NV backup list holds 530 ids");

constexpr std::array<uint16_t, kNvBackupListSize> ExpandSpans() {
    std::array<uint16_t, kNvBackupListSize> ids{};
    size_t n = 0;
    for (const NvIdSpan& span : kNvBackupSpans) {
        for (uint32_t id = span.first; id <= span.last; ++id) {
            ids[n++] = static_cast<uint16_t>(id);
        }
    }
    return ids;
}

void PutLe16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value & 0xFF);
    out[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t GetLe16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (static_cast<uint16_t>(in[1]) << 8));
}

constexpr size_t kIdOffset = 0;
constexpr size_t kDataOffset = 4;
constexpr size_t kStatusOffset = 132;

}  // namespace

constexpr std::array<uint16_t, kNvBackupListSize> NvBackupList = ExpandSpans();

void EncodeNvItemRecord(const NvItemRecord& record, uint8_t out[kNvItemRecordSize]) {
    std::fill(out, out + kNvItemRecordSize, uint8_t{0});
    PutLe16(out + kIdOffset, record.itemId);
    std::copy(record.data.begin(), record.data.end(), out + kDataOffset);
    PutLe16(out + kStatusOffset, record.status);
}

NvItemRecord DecodeNvItemRecord(const uint8_t in[kNvItemRecordSize]) {
    NvItemRecord record;
    record.itemId = GetLe16(in + kIdOffset);
    std::copy(in + kDataOffset, in + kDataOffset + kNvItemDataSize, record.data.begin());
    record.status = GetLe16(in + kStatusOffset);
    return record;
}

NvmTable BuildBackupTable() {
    NvmTable table{};
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        table[i].itemId = NvBackupList[i];
    }
    table[kNvBackupListSize].itemId = kNvEndMarker;
    return table;
}

bool NvWalkEndsAt(uint16_t itemId, int32_t nvMode) {
    return itemId >= kNvEndMarker || (itemId == kNvInnerLoopMarker && nvMode == 0);
}

size_t NvWalkLength(const NvmTable& table, int32_t nvMode) {
    size_t n = 0;
    while (n < table.size() && !NvWalkEndsAt(table[n].itemId, nvMode)) {
        ++n;
    }
    return n;
}

std::vector<uint8_t> EncodeNvmFile(const NvmTable& table) {
    std::vector<uint8_t> bytes(kNvmFileSize);
    for (size_t i = 0; i < kNvmRecordCount; ++i) {
        EncodeNvItemRecord(table[i], bytes.data() + i * kNvItemRecordSize);
    }
    return bytes;
}

NvmFileCheck DecodeNvmFile(const std::vector<uint8_t>& bytes, NvmTable& table) {
    if (bytes.size() != kNvmFileSize) {
        return NvmFileCheck::WRONG_SIZE;
    }
    NvmTable decoded{};
    bool marked = false;
    for (size_t i = 0; i < kNvmRecordCount; ++i) {
        decoded[i] = DecodeNvItemRecord(bytes.data() + i * kNvItemRecordSize);
        marked = marked || decoded[i].itemId >= kNvEndMarker;
    }
    if (!marked) {
        return NvmFileCheck::NO_END_MARKER;
    }
    table = decoded;
    return NvmFileCheck::OK;
}

}  // namespace pellan
