// Where in the source server's binary log a dump was taken: read from the server and
// written into the dump's header as comments a DBA turns into CHANGE MASTER TO (or a GTID
// setting) by hand, to start a replica or a point-in-time recovery from the dump.
#pragma once

#include <string>

#include "export/dump_connection.h"

namespace kro::export_ {

struct BinlogPosition {
    std::string file;      // the binary log file
    std::string position;  // the byte position in it, as the server gives it
    std::string gtid;      // the GTID position; empty when the server keeps none
    bool mariadb = false;  // MariaDB and MySQL name the GTID setting differently
};

// Whether the server writes a binary log; 0 when it could not be asked (error recorded).
int binary_logging_on(DumpConnection& source, bool& on);

// The server's current binary log position; 0 when it could not be read (error recorded).
int read_binlog_position(DumpConnection& source, BinlogPosition& position);

// The comment lines for the dump's header, each line starting with "-- ".
std::string binlog_position_comment(const BinlogPosition& position);

}  // namespace kro::export_
