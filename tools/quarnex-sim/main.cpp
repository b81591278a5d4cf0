// quarnex-sim: a Quarnex server simulator for people who work on Harborlock.
//
//   quarnex-sim ping     [--host H] --port P
//   (every command also takes [--source A]: the local address to connect from)
//   quarnex-sim push     [--host H] --port P --serial S (--full | --incremental [--fallback])
//                        [--cluster-size N] (--clusters N | --from-file F)
//                        [--scratch-percent X] [--first-block B] [--block-step K]
//                        [--vary-lengths] [--seed S] [--params A,B,C] [--estimate N]
//                        [--model FILE]
//   quarnex-sim inquire  [--host H] --port P --serial S
//   quarnex-sim restore  [--host H] --port P --serial S [--out FILE] [--check MODEL]
//
// --model keeps the image the service should now hold: a full push writes it, an incremental
// push reads and updates it. restore --check compares what came back with it byte for byte.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "ClusterPlan.h"
#include "MergeModel.h"
#include "QuarnexSim.h"

using namespace quarnexsim;

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: quarnex-sim ping|push|inquire|restore [--host H] --port P [options]\n"
                         "  push:    --serial S (--full | --incremental [--fallback]) [--cluster-size N]\n"
                         "           (--clusters N | --from-file F) [--scratch-percent X] [--first-block B]\n"
                         "           [--block-step K] [--vary-lengths] [--seed S] [--params A,B,C]\n"
                         "           [--estimate N] [--model FILE]\n"
                         "  inquire: --serial S\n"
                         "  restore: --serial S [--out FILE] [--check MODEL]\n"
                         "  any:     --source A (the local address to connect from)\n");
    return 2;
}

std::uint32_t Number(const std::string& text)
{
    return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    std::map<std::string, std::string> opt;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--", 0) != 0)
            return Usage();
        const bool flag = a == "--full" || a == "--incremental" || a == "--fallback" || a == "--vary-lengths";
        if (flag) {
            opt.insert_or_assign(a, std::string(1, '1'));
        } else {
            if (i + 1 >= argc)
                return Usage();
            opt.insert_or_assign(a, std::string(argv[++i]));
        }
    }
    if (!opt.count("--port"))
        return Usage();
    const std::string host = opt.count("--host") ? opt["--host"] : "127.0.0.1";
    QuarnexSim sim(host, static_cast<std::uint16_t>(Number(opt["--port"])));
    if (opt.count("--source"))
        sim.SetSourceAddress(opt["--source"]);

    if (command == "ping") {
        std::uint32_t response = 0;
        if (!sim.Ping(response)) {
            std::printf("ping: no answer\n");
            return 1;
        }
        std::printf("ping: response 0x%08X\n", response);
        return response == 0 ? 0 : 1;
    }

    if (!opt.count("--serial"))
        return Usage();
    const std::uint32_t serial = Number(opt["--serial"]);

    if (command == "push") {
        const bool full = opt.count("--full") != 0;
        if (full == (opt.count("--incremental") != 0))
            return Usage();
        PlanOptions plan;
        plan.clusterSize = opt.count("--cluster-size") ? Number(opt["--cluster-size"]) : 4096;
        plan.count = opt.count("--clusters") ? Number(opt["--clusters"]) : 0;
        plan.firstBlock = opt.count("--first-block") ? Number(opt["--first-block"]) : 1;
        plan.blockStep = opt.count("--block-step") ? Number(opt["--block-step"]) : 1;
        plan.scratchPercent =
            opt.count("--scratch-percent") ? static_cast<int>(Number(opt["--scratch-percent"])) : 0;
        plan.varyLengths = opt.count("--vary-lengths") != 0;
        plan.seed = opt.count("--seed") ? Number(opt["--seed"]) : 1;

        std::vector<SimCluster> clusters;
        if (opt.count("--from-file")) {
            if (!ClusterPlan::FromFile(opt["--from-file"], plan, clusters)) {
                std::fprintf(stderr, "push: cannot read %s\n", opt["--from-file"].c_str());
                return 1;
            }
        } else {
            clusters = ClusterPlan::Generate(plan);
        }

        SimHeader header{serial, plan.clusterSize, 0, 0, 0};
        if (opt.count("--params")) {
            unsigned a = 0, b = 0, c = 0;
            if (std::sscanf(opt["--params"].c_str(), "%u,%u,%u", &a, &b, &c) != 3)
                return Usage();
            header.headerParam1 = a;
            header.headerParam2 = b;
            header.headerParam3 = c;
        }
        PushOptions options;
        options.fallbackToFull = opt.count("--fallback") != 0;
        if (opt.count("--estimate"))
            options.estimate = Number(opt["--estimate"]);

        SimImage stored;
        const std::string modelPath = opt.count("--model") ? opt["--model"] : "";
        // An incremental needs the image it extends, unless it may turn into a full backup.
        const bool haveStored = !full && !modelPath.empty() && MergeModel::Load(modelPath, stored);
        if (!full && !modelPath.empty() && !haveStored && !options.fallbackToFull) {
            std::fprintf(stderr, "push: cannot read the model %s\n", modelPath.c_str());
            return 1;
        }

        const PushResult r = sim.Push(header, full, clusters, options);
        std::printf("push: %s; HELLO 0x%08X%s, SIZE 0x%08X, %u clusters sent, DONE 0x%08X\n",
                    r.completed ? "completed" : r.failure.c_str(), r.helloResponse,
                    r.fellBackToFull ? " (fell back to full)" : "", r.sizeResponse, r.clustersSent,
                    r.doneResponse);
        if (!r.completed)
            return 1;
        if (!modelPath.empty()) {
            const bool asFull = full || r.fellBackToFull;
            if (!asFull && !haveStored) {
                std::fprintf(stderr, "push: cannot read the model %s\n", modelPath.c_str());
                return 1;
            }
            const SimImage expected = asFull ? MergeModel::Full(header, clusters)
                                             : MergeModel::Incremental(stored, header, clusters);
            if (!MergeModel::Save(modelPath, expected)) {
                std::fprintf(stderr, "push: cannot write the model %s\n", modelPath.c_str());
                return 1;
            }
        }
        return 0;
    }

    if (command == "inquire") {
        const InquiryResult r = sim.Inquire(serial);
        if (!r.answered) {
            std::printf("inquire: no answer\n");
            return 1;
        }
        std::printf("inquire: response 0x%08X", r.response);
        if (r.gotHeader)
            std::printf(", backup of %08X, clusterSize %u, params %u,%u,%u", r.header.serialNumber,
                        r.header.clusterSize, r.header.headerParam1, r.header.headerParam2,
                        r.header.headerParam3);
        std::printf("%s\n", r.gotDone ? ", DONE" : "");
        return r.response == 0 && r.gotDone ? 0 : 1;
    }

    if (command == "restore") {
        SimImage image;
        const RestoreResult r = sim.Restore(serial, image);
        std::printf("restore: response 0x%08X, %llu records, %s\n", r.response,
                    static_cast<unsigned long long>(r.records), r.gotDone ? "DONE" : r.failure.c_str());
        if (!r.gotDone)
            return 1;
        if (opt.count("--out") && !MergeModel::Save(opt["--out"], image)) {
            std::fprintf(stderr, "restore: cannot write %s\n", opt["--out"].c_str());
            return 1;
        }
        if (opt.count("--check")) {
            SimImage expected;
            if (!MergeModel::Load(opt["--check"], expected)) {
                std::fprintf(stderr, "restore: cannot read the model %s\n", opt["--check"].c_str());
                return 1;
            }
            const bool same = MergeModel::Serialize(expected) == MergeModel::Serialize(image);
            std::printf("check: %s\n",
                        same ? "restore matches what was pushed" : "restore DIFFERS from what was pushed");
            return same ? 0 : 1;
        }
        return 0;
    }
    return Usage();
}
