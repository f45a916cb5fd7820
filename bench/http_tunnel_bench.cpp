// Reads a 100,000-row table through the HTTP tunnel (php -S and the tunnel script) and
// directly, and reports the times, their ratio, where the tunnel's time goes (the script
// with the transfer, kro reading the answer), and the memory the tunnelled result needed
// compared with the size of the script's answer. Then runs kro's export of the table once
// directly and once through the tunnel, and compares the times and the dumps byte for byte.
//   http_tunnel_bench [services env file] [kro binary]   (default build/services/env and
//   the kro built beside this program; start the services first: scripts/services.sh start)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "connection/http_client.h"
#include "connection/http_tunnel.h"
#include "connection/tunnel_answer.h"
#include "connection/tunnel_request.h"

using namespace kro::connection;

namespace {

constexpr int kRows = 100000;
constexpr int kExportRuns = 5;
constexpr char kSelect[] = "select * from kro_bench_http.t";

std::map<std::string, std::string> read_env(const char* path) {
    std::map<std::string, std::string> env;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

long peak_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs kro's export of the bench table into dir/dump-<name>.sql; the wall time in ms, or a
// negative number when the job failed.
double export_ms(const std::string& kro, const std::string& dir, const std::string& name,
                 std::map<std::string, std::string>& env, const std::string& tunnelinfo) {
    std::ofstream(dir + "/job-" + name + ".xml")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><exportjob><source><host>" << env["MARIADB_HOST"]
        << "</host><port>" << env["MARIADB_PORT"] << "</port><user>" << env["MARIADB_USER"] << "</user><pwd>"
        << env["MARIADB_PASSWORD"] << "</pwd><compressed>0</compressed>" << tunnelinfo
        << "</source><export><databases><database name=\"kro_bench_http\"><objects all=\"yes\"/></database>"
           "</databases><script>" << dir << "/dump-" << name << ".sql</script></export>"
           "<options><bulkinsert>yes</bulkinsert></options></exportjob></job>";
    std::string command = "cd '" + dir + "' && '" + kro + "' job-" + name + ".xml -lkro.log -ssession.xml > out-" +
                          name + ".txt";
    auto t0 = std::chrono::steady_clock::now();
    int status = std::system(command.c_str());
    double ms = ms_since(t0);
    return status == 0 ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
    auto env = read_env(argc > 1 ? argv[1] : "build/services/env");
    if (!env.count("HTTP_TUNNEL_URL") || !env.count("MARIADB_PORT")) {
        std::fprintf(stderr, "services env file missing or incomplete; run scripts/services.sh start\n");
        return 1;
    }
    const std::string host = env["MARIADB_HOST"], user = env["MARIADB_USER"], password = env["MARIADB_PASSWORD"];
    const unsigned port = static_cast<unsigned>(std::stoi(env["MARIADB_PORT"]));

    std::unique_ptr<MYSQL, void (*)(MYSQL*)> direct(mysql_init(nullptr), mysql_close);
    mysql_options(direct.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(direct.get(), host.c_str(), user.c_str(), password.c_str(), nullptr, port, nullptr,
                            CLIENT_MULTI_STATEMENTS)) {
        std::fprintf(stderr, "direct connection failed: %s\n", mysql_error(direct.get()));
        return 1;
    }
    auto run = [&](const std::string& sql) {
        if (mysql_real_query(direct.get(), sql.data(), sql.size()) != 0) {
            std::fprintf(stderr, "%s: %s\n", sql.c_str(), mysql_error(direct.get()));
            std::exit(1);
        }
        do mysql_free_result(mysql_store_result(direct.get()));
        while (mysql_next_result(direct.get()) == 0);
    };
    run("create database if not exists kro_bench_http; create table if not exists kro_bench_http.t "
        "(id int primary key, name varchar(40), data varbinary(32), amount decimal(12,2), note text null)");
    run("delete from kro_bench_http.t");
    run("set max_recursive_iterations = 1000000");
    run("insert into kro_bench_http.t with recursive seq(n) as (select 1 union all select n + 1 from seq where n < " +
        std::to_string(kRows) + ") select n, concat('name number ', n), unhex(md5(n)), n * 1.25, "
        "if(n % 10 = 0, null, repeat('x', n % 50)) from seq");

    // Through the tunnel first, so that the peak memory is this step's.
    HttpTunnel tunnel;
    MYSQL* handle = tunnel.init();
    tunnel.real_connect(handle, host.c_str(), user.c_str(), password.c_str(), nullptr, port, nullptr, 0,
                        env["HTTP_TUNNEL_URL"].c_str());
    tunnel.set_charset("utf8");
    tunnel.set_timeout(60000);
    long before_kib = peak_kib();
    auto t0 = std::chrono::steady_clock::now();
    tunnel.real_query(handle, kSelect, sizeof kSelect - 1, false, false, false, nullptr, 0);
    TunnelResult* result = tunnel.store_result(handle, 1, 0, 0);
    if (!result) {
        std::fprintf(stderr, "tunnel: %u %s\n", tunnel.error_number(handle), tunnel.error(handle));
        return 1;
    }
    std::size_t tunnel_bytes = 0, tunnel_rows = 0;
    unsigned fields = tunnel.num_fields(result);
    while (tunnel.fetch_row(result)) {
        unsigned long* lengths = tunnel.fetch_lengths(result);
        for (unsigned i = 0; i < fields; ++i) tunnel_bytes += lengths[i];
        ++tunnel_rows;
    }
    double tunnel_ms = ms_since(t0);
    long tunnel_kib = peak_kib() - before_kib;
    tunnel.free_result(result);
    tunnel.close(handle);

    // The same answer once more, without parsing it: the script's time with the transfer,
    // then kro's reading of it alone.
    TunnelRequest request;
    request.host = host;
    request.user = user;
    request.password = password;
    request.charset = "utf8";
    request.port = static_cast<int>(port);
    request.query = kSelect;
    std::string body = build_tunnel_request(request), answer;
    HttpClient client;
    client.set_url(env["HTTP_TUNNEL_URL"].c_str());
    client.set_content_type("text/xml");
    client.set_timeout(60000);
    long status = 0;
    t0 = std::chrono::steady_clock::now();
    if (!client.send(body.data(), body.size(), false, &status, true) || !client.read_body(answer)) {
        std::fprintf(stderr, "raw request failed (%ld)\n", status);
        return 1;
    }
    double script_ms = ms_since(t0);
    const std::size_t answer_bytes = answer.size();
    t0 = std::chrono::steady_clock::now();
    TunnelAnswer parsed;
    bool readable = parsed.parse(std::move(answer)) && parsed.read_result(parsed.first_result()).result;
    double reading_ms = ms_since(t0);

    t0 = std::chrono::steady_clock::now();
    mysql_real_query(direct.get(), kSelect, sizeof kSelect - 1);
    std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> direct_result(mysql_store_result(direct.get()),
                                                                   mysql_free_result);
    std::size_t direct_bytes = 0, direct_rows = 0;
    while (mysql_fetch_row(direct_result.get())) {
        unsigned long* lengths = mysql_fetch_lengths(direct_result.get());
        for (unsigned i = 0; i < fields; ++i) direct_bytes += lengths[i];
        ++direct_rows;
    }
    double direct_ms = ms_since(t0);

    std::printf("rows: %zu through the tunnel, %zu directly (value bytes %zu / %zu)\n", tunnel_rows, direct_rows,
                tunnel_bytes, direct_bytes);
    std::printf("direct:  %.1f ms\n", direct_ms);
    std::printf("tunnel:  %.1f ms (%.1f times the direct time)\n", tunnel_ms, tunnel_ms / direct_ms);
    std::printf("         of which about %.1f ms the script with the transfer, %.1f ms kro reading the answer\n",
                script_ms, reading_ms);
    std::printf("answer:  %.1f MiB; peak memory growth while reading it: %.1f MiB (%.2f times the answer)\n",
                answer_bytes / 1048576.0, tunnel_kib / 1024.0, tunnel_kib * 1024.0 / answer_bytes);

    // The export job both ways. Over the tunnel the export reads the table in pages of
    // 1000 rows, one request each.
    char dir_template[] = "/tmp/kro-http-bench-XXXXXX";
    if (!mkdtemp(dir_template)) return 1;
    const std::string dir = dir_template, kro = argc > 2 ? argv[2] : KRO_BINARY;
    // Five runs each, alternating, so that a moment of load elsewhere on the machine does
    // not decide the ratio; the best and the median run of each are reported.
    const std::string http = "<tunnelinfo type=\"http\"><url>" + env["HTTP_TUNNEL_URL"] +
                             "</url><timeout>60</timeout></tunnelinfo>";
    std::vector<double> direct_runs, tunnel_runs;
    for (int i = 0; i < kExportRuns; ++i) {
        direct_runs.push_back(export_ms(kro, dir, "direct", env, ""));
        tunnel_runs.push_back(export_ms(kro, dir, "tunnel", env, http));
    }
    std::sort(direct_runs.begin(), direct_runs.end());
    std::sort(tunnel_runs.begin(), tunnel_runs.end());
    const double export_direct_ms = direct_runs.front(), export_tunnel_ms = tunnel_runs.front();
    const double direct_median = direct_runs[kExportRuns / 2], tunnel_median = tunnel_runs[kExportRuns / 2];
    std::string dump_direct = file_text(dir + "/dump-direct.sql"), dump_tunnel = file_text(dir + "/dump-tunnel.sql");
    // The closing line says when each dump was finished, which differs by a second or so.
    for (std::string* dump : {&dump_direct, &dump_tunnel}) dump->erase(std::min(dump->size(), dump->rfind("\n-- Dump completed on ")));
    bool identical = !dump_direct.empty() && dump_direct == dump_tunnel;
    std::printf("export:  best of %d runs %.1f ms directly, %.1f ms through the tunnel (%.1f times); "
                "median %.1f ms and %.1f ms (%.1f times)\n",
                kExportRuns, export_direct_ms, export_tunnel_ms, export_tunnel_ms / export_direct_ms, direct_median,
                tunnel_median, tunnel_median / direct_median);
    std::printf("         dumps of %zu bytes %s\n", dump_direct.size(), identical ? "byte-identical" : "DIFFER");
    std::filesystem::remove_all(dir);
    bool ok = readable && tunnel_rows == direct_rows && tunnel_bytes == direct_bytes && identical &&
              direct_runs.front() > 0 && tunnel_runs.front() > 0;
    return ok ? 0 : 1;
}
