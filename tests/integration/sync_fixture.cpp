#include "sync_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>

std::string sync_server_xml(const char* element, const std::string& server, const std::string& database,
                            const std::string& extra) {
    std::string xml = std::string("<") + element + ">";
    xml += "<host>" + service_value(server + "_HOST") + "</host>";
    xml += "<port>" + service_value(server + "_PORT") + "</port>";
    xml += "<user>" + service_value(server + "_USER") + "</user>";
    xml += "<pwd>" + xml_escaped(service_value(server + "_PASSWORD")) + "</pwd>";
    xml += "<database>" + xml_escaped(database) + "</database><compressed>0</compressed>";
    return xml + extra + "</" + element + ">\n";
}

std::string sync_job_xml(const std::string& source, const std::string& target, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><syncjob>\n" + source + target + body +
           "</syncjob></job>\n";
}

RunResult run_sync_job(const TempDir& dir, const std::string& xml, const std::vector<std::string>& env) {
    write_file(dir.file("job.xml"), xml);
    return run_kro({"job.xml", "-lsync.log", "-ssession.xml"}, dir.path(), env);
}

std::string summary_line(const std::string& table, unsigned source_rows, unsigned target_rows, unsigned inserted,
                         unsigned updated, unsigned deleted) {
    char line[256];
    std::snprintf(line, sizeof line, "%-25s  %7u  %7u  %8u  %7u  %7u", table.c_str(), source_rows, target_rows,
                  inserted, updated, deleted);
    return line;
}

bool has_summary(const std::string& out, const std::string& table, unsigned source_rows, unsigned target_rows,
                 unsigned inserted, unsigned updated, unsigned deleted) {
    const std::string line = summary_line(table, source_rows, target_rows, inserted, updated, deleted);
    const std::size_t counts = 25 + 2 + 7 + 2 + 7 + 2;
    std::size_t at = out.find(line.substr(0, counts));
    if (at == std::string::npos) return false;
    std::size_t end = out.find(line.substr(counts) + "\n", at);
    if (end == std::string::npos) return false;
    // No other summary line in between: every line there is the warning, its check line or empty.
    std::size_t next_line = out.find('\n', at);
    while (next_line != std::string::npos && next_line + 1 < end) {
        const std::string rest = out.substr(next_line + 1, 8);
        if (!rest.empty() && rest[0] != '\n' && rest.rfind("WARNING", 0) != 0 && rest.rfind("Check ", 0) != 0)
            return false;
        next_line = out.find('\n', next_line + 1);
    }
    return true;
}

void expect_same_table(const std::string& source_db, const std::string& target_db, const std::string& table,
                       const std::string& target_server) {
    const std::string rows = table_rows(source_db, table);
    EXPECT_FALSE(rows.empty()) << table;
    EXPECT_EQ(table_rows(target_db, table, target_server), rows) << table;
    EXPECT_EQ(table_checksum(target_db, table, target_server), table_checksum(source_db, table)) << table;
}
