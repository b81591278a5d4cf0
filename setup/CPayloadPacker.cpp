#include "CPayloadPacker.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

// Appends `path` to `out`; the number of bytes copied, or -1.
std::int64_t AppendFile(std::ofstream& out, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return -1;
    std::vector<char> buf(65536);
    std::int64_t total = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const auto n = in.gcount();
        if (n <= 0)
            break;
        out.write(buf.data(), n);
        total += n;
    }
    if (in.bad() || !out)
        return -1;
    return total;
}
} // namespace

void CPayloadPacker::AddFile(std::uint32_t type, const std::string& path, const std::string& name)
{
    m_items.push_back({type, path, name.empty() ? fs::path(path).filename().string() : name});
}

bool CPayloadPacker::Write(const std::string& stubPath, const std::string& output, std::string& error) const
{
    std::set<std::string> names;
    for (const auto& item : m_items) {
        if (!CPayloadFormat::IsSafeName(item.name)) {
            error = "not a plain file name: \"" + item.name + "\"";
            return false;
        }
        if (!names.insert(item.name).second) {
            error = "name used twice: \"" + item.name + "\"";
            return false;
        }
    }

    const std::string temp = output + ".part";
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + temp;
        return false;
    }
    auto fail = [&](const std::string& why) {
        out.close();
        std::error_code ec;
        fs::remove(temp, ec);
        error = why;
        return false;
    };

    const std::int64_t stubSize = AppendFile(out, stubPath);
    if (stubSize < 0)
        return fail("cannot copy the stub " + stubPath);

    std::vector<CPayloadFormat::EntryHead> heads;
    std::uint64_t pos = static_cast<std::uint64_t>(stubSize);
    for (const auto& item : m_items) {
        const std::int64_t size = AppendFile(out, item.path);
        if (size < 0)
            return fail("cannot copy " + item.path);
        CPayloadFormat::EntryHead head;
        head.type = item.type;
        head.size = static_cast<std::uint32_t>(size);
        head.offset = static_cast<std::uint32_t>(pos);
        head.nameLength = static_cast<std::uint32_t>(item.name.size());
        pos += static_cast<std::uint64_t>(size);
        if (static_cast<std::uint64_t>(size) > kMax32 || pos > kMax32)
            return fail("the setup file would pass 4 GiB, which its 32-bit offsets cannot address");
        heads.push_back(head);
    }

    CPayloadFormat::Footer footer;
    footer.entryCount = static_cast<std::uint32_t>(m_items.size());
    footer.payloadOffset = static_cast<std::uint32_t>(stubSize);
    footer.tableOffset = static_cast<std::uint32_t>(pos);
    footer.flags = 0;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        const auto bytes = CPayloadFormat::EncodeEntryHead(heads[i]);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.write(m_items[i].name.data(), static_cast<std::streamsize>(m_items[i].name.size()));
        pos += bytes.size() + m_items[i].name.size();
    }
    if (pos > kMax32)
        return fail("the setup file would pass 4 GiB, which its 32-bit offsets cannot address");
    footer.footerOffset = static_cast<std::uint32_t>(pos);
    const auto bytes = CPayloadFormat::EncodeFooter(footer);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        return fail("cannot write " + temp);

    std::error_code ec;
    fs::permissions(temp,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ec);
    if (!ec)
        fs::rename(temp, output, ec);
    if (ec) {
        fs::remove(temp, ec);
        error = "cannot finish " + output;
        return false;
    }
    return true;
}
