// What a Quarnex server believes the backup service stores for it: the image of the last
// backup whose DONE was answered OK. Its next incremental carries only what changed since, so
// the service must either hold exactly that image as the base of an incremental or refuse the
// incremental HELLO (the server then sends a full backup). The oracle of the tests that stop
// the service at awkward moments; it knows nothing of the service's files.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "QuarnexSim.h"
#include "SimTypes.h"

namespace quarnexsim {

class QuarnexView {
public:
    // A push as the server made it: an acknowledged one replaces the believed image, any other
    // leaves it as it was.
    void Pushed(const SimHeader& header, bool full, const std::vector<SimCluster>& clusters,
                const PushResult& result);

    // The image the server believes is stored, if any backup was ever acknowledged.
    std::optional<SimImage> Believed(std::uint32_t serialNumber) const;

    // The rule after any stop of the service: `base` is what an incremental would be merged
    // into now (what a restore returns), `incrementalRefused` whether the next incremental
    // HELLO was refused. False (with why) when the service would merge into an image the
    // server does not believe is stored.
    bool Holds(std::uint32_t serialNumber, const std::optional<SimImage>& base, bool incrementalRefused,
               std::string& why) const;

private:
    std::map<std::uint32_t, SimImage> m_believed;
};

} // namespace quarnexsim
