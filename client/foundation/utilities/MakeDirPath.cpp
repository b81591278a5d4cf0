#include "MakeDirPath.h"

#include "CClientExc.h"
#include "Platform.h"

namespace {

const char kSource[] = "client/foundation/utilities/ClientUtil";

// Creates `prefix` unless it exists already.
void CreateComponent(const std::string& prefix)
{
    hl::Platform& os = hl::Os();
    if (os.PathExists(prefix))
        return;
    // Another thread or process may create it between the test and the call.
    if (!os.CreateDirectory(prefix) && !os.DirectoryExists(prefix)) {
        std::string text =
            "MakeDirPath(const char*): An error occurred while creating the directory:\n" + prefix;
        throw CClientExc(text.c_str(), 1234, kSource, 1821);
    }
}

} // namespace

void MakeDirPath(const char* path)
{
    std::string prefix;
    try {
        if (!path)
            throw CClientExc(nullptr, 1234, kSource, 1836);
        const std::string text(path);
        if (!text.empty() && hl::Os().PathExists(text))
            return;

        std::size_t i = 0;
        // A leading "/" is the root and belongs to the first component.
        while (i < text.size() && text[i] == '/') {
            if (prefix.empty())
                prefix.push_back('/'); // not = "/": g++ 12 -O2 warns falsely (-Wrestrict)
            ++i;
        }
        bool pendingSeparator = false;
        for (; i < text.size(); ++i) {
            char c = text[i];
            if (c == '/') {
                if (text[i - 1] == '/')
                    continue; // doubled separators collapse
                CreateComponent(prefix);
                pendingSeparator = true;
                continue;
            }
            if (pendingSeparator) {
                prefix += '/';
                pendingSeparator = false;
            }
            prefix += c;
        }
        if (!pendingSeparator || prefix.empty())
            CreateComponent(prefix);
    } catch (const CClientExc&) {
        throw;
    } catch (...) {
        std::string text =
            "MakeDirPath(const char*): An unhandled error occurred while creating the directory:\n" + prefix;
        throw CClientExc(text.c_str(), 1234, kSource, 1836);
    }
}
