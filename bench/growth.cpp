// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Section 6: time per request against the size of the host (CPUs,
// interfaces, inventory).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"
#include "fixtures.h"

namespace bench {

// Time per request of one request at one size: the median of a few batches.
struct Point {
    double size;
    double usPerRequest;
};

// Time per request of one request at one size: the median round trip of
// all requests of five batches (a median is little moved by the requests
// that other work on the machine delays).
double timePerRequest(const Target& target, const std::string& request, double budgetSeconds, unsigned maxBatch)
{
    // A first request shows the order of magnitude.
    const Exchange probe = exchangeOnce(target, request);
    if (!probe.ok)
        return NAN;
    constexpr int kBatches = 5;
    const unsigned perBatch = std::max(
        3u, std::min(maxBatch, static_cast<unsigned>(budgetSeconds / kBatches / std::max(probe.seconds, 1e-6))));
    std::vector<double> all;
    for (int i = 0; i < kBatches; ++i) {
        const Batch b = runBatch(target, request, perBatch);
        if (b.failures == 0)
            all.insert(all.end(), b.each.begin(), b.each.end());
    }
    return summarize(all).median * 1e6;
}

// The exponent k of time ~ size^k between the two largest sizes.
double growthExponent(const std::vector<Point>& points)
{
    if (points.size() < 2)
        return NAN;
    const Point& a = points[points.size() - 2];
    const Point& b = points.back();
    return std::log(b.usPerRequest / a.usPerRequest) / std::log(b.size / a.size);
}

double growthRows(const char* what, const char* unit, const std::vector<Point>& points, Json& into)
{
    std::string sizes;
    std::string times;
    Json arr = Json::array();
    for (const Point& p : points) {
        sizes += fmt("%10.0f", p.size);
        times += fmt("%10.1f", p.usPerRequest);
        Json j = Json::object();
        j["size"] = p.size;
        j["us_per_request"] = p.usPerRequest;
        arr.push_back(j);
    }
    const double k = growthExponent(points);
    row("%-28s %-10s%s", what, unit, sizes.c_str());
    row("%-28s %-10s%s   growth exponent %.2f (last step)", "", "us/req", times.c_str(), k);
    Json j = Json::object();
    j["unit"] = unit;
    j["points"] = arr;
    j["growth_exponent_last_step"] = k;
    into[what] = j;
    return k;
}

void Bench::growth(Board& board)
{
    gSection = 6;
    say("6. growth\n");
    const Target vorn = tcpTarget(testbed::kServerPort);
    const double budget = opt_.quick ? 0.3 : 1.5;
    Json section = Json::object();
    row("6. Growth: time per request (median round trip) against the size of the host; the growth exponent k of "
        "time ~ size^k between the two largest sizes (1: linear)");

    // 'c' and 'C' read the CPU description.
    std::vector<Point> c;
    std::vector<Point> bigC;
    for (unsigned cpus : {2u, 64u, 256u, 1024u}) {
        board.bindOver("/proc/cpuinfo", cpuinfoOf(cpus, cpuinfoModel_));
        c.push_back({static_cast<double>(cpus), timePerRequest(vorn, "c 0", budget, 2000)});
        bigC.push_back({static_cast<double>(cpus), timePerRequest(vorn, "C", budget, 2000)});
    }
    growthExponents_.emplace_back("'c' CPU identity", 0.0);
    growthExponents_.back().second = growthRows("'c' CPU identity", "CPUs", c, section);
    growthExponents_.emplace_back("'C' sensors (reads cpuinfo)", 0.0);
    growthExponents_.back().second = growthRows("'C' sensors (reads cpuinfo)", "CPUs", bigC, section);

    // 'e' over added interfaces, beside qemu-ga's interface query.
    std::vector<Point> e;
    std::vector<Point> q;
    unsigned have = 0;
    std::string failure;
    for (unsigned count : {1u, 10u, 100u, 500u}) {
        writeText(std::string(kRunDir) + "/links.batch", addInterfacesScript(have, count - have, testbed::kHostLinkIf));
        const auto r = board.run(std::string("ip -batch ") + kRunDir + "/links.batch");
        if (r.status != 0) {
            failure = r.output;
            break;
        }
        have = count;
        e.push_back({static_cast<double>(count), timePerRequest(vorn, "e", budget, 2000)});
        if (qga_.pid() > 0)
            q.push_back({static_cast<double>(count),
                         timePerRequest(qgaTarget(), qgaRequest("guest-network-get-interfaces"), budget, 2000)});
    }
    if (!failure.empty())
        row("   cannot add interfaces: %s", failure.c_str());
    growthExponents_.emplace_back("'e' network status", 0.0);
    growthExponents_.back().second = growthRows("'e' network status", "+ifaces", e, section);
    if (!q.empty()) {
        growthRows("qemu-ga interfaces", "+ifaces", q, section);
        std::string ratios;
        for (std::size_t i = 0; i < std::min(e.size(), q.size()); ++i)
            ratios += fmt("%10.2f", q[i].usPerRequest / e[i].usPerRequest);
        row("%-28s %-10s%s", "  vorn/qemu-ga throughput", "", ratios.c_str());
    }
    writeText(std::string(kRunDir) + "/unlinks.batch", removeInterfacesScript(have));
    board.run(std::string("ip -batch ") + kRunDir + "/unlinks.batch");

    // 'L' over main inventories that fill the document and go far beyond it.
    std::vector<Point> records;
    for (unsigned k : {4u, 64u, 1024u, 16384u}) {
        const std::string inv = inventoryWithRecords(k);
        board.writeFile("/etc/kelmora/swinventory.xml", inv);
        records.push_back({static_cast<double>(inv.size()) / 1024.0, timePerRequest(vorn, "L", budget, 2000)});
    }
    growthExponents_.emplace_back("'L' inventory records", 0.0);
    growthExponents_.back().second = growthRows("'L' inventory records", "KiB", records, section);
    std::vector<Point> components;
    for (unsigned k : {1u, 4u, 16u, 64u}) {
        board.writeFile("/etc/kelmora/swinventory.xml", inventoryWithComponents(k));
        components.push_back({static_cast<double>(k), timePerRequest(vorn, "L", budget, 2000)});
    }
    growthExponents_.emplace_back("'L' inventory components", 0.0);
    growthExponents_.back().second = growthRows("'L' inventory components", "</Software>", components, section);
    board.writeFile("/etc/kelmora/swinventory.xml", typicalInventory().main);
    json_["growth"] = section;
}

} // namespace bench
