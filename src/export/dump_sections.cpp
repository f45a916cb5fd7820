// The text sections every dump file or database block carries: the header, the SET block
// and its footer, the database section, and the frame of a file per object.
#include "common/sql_comment.h"
#include "connection/server_version.h"
#include "export/dump_writer.h"
#include "report/process_state.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::report;

namespace kro::export_ {

void DumpWriter::write_header() {
    output_.buffer().append_format(
        "/*\n%s\nMySQL - %s : Database - %s\n%s\n*/\r\n", banner_text.c_str(),
        sql_comment_text(source_.tunnel().get_server_info(source_.handle())).c_str(),
        sql_comment_text(current_db_).c_str(), "*********************************************************************");
    if (binlog_position_) output_.buffer().append(binlog_position_comment(*binlog_position_));
}

void DumpWriter::write_set_block() {
    StrBuf& out = output_.buffer();
    if (!options().usecharset.empty()) out.append_format("\n/*!40101 SET NAMES %s */;\n", effective_charset().c_str());
    out.append("\n/*!40101 SET SQL_MODE=''*/;\n");
    out.append("\n/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;");
    if (options().fkchecks)
        out.append("\n/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;");
    out.append("\n/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;");
    out.append("\n/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */;");
    // The values were read in UTC (connect, select_rows).
    out.append("\n/*!40103 SET @OLD_TIME_ZONE=@@TIME_ZONE */;");
    out.append("\n");
    out.append(kUtcSession);
    out.append(";\n");
}

void DumpWriter::write_footer() {
    StrBuf& out = output_.buffer();
    out.append("\n/*!40103 SET TIME_ZONE=@OLD_TIME_ZONE */;");
    out.append("\n/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;\n");
    if (options().fkchecks) out.append("/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS */;\n");
    out.append("/*!40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS */;\n");
    out.append("/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */;\n");
}

int DumpWriter::write_database_section(const std::string& name) {
    StrBuf& out = output_.buffer();
    std::string q = quoted(name);
    if (job_.all_databases)
        out.append_format("\n/*Database structure for database `%s` */\n", comment_name(name).c_str());
    if (options().createdb) {
        if (server_at_least_4_1_0(source_.tunnel(), source_.handle())) {
            StrBuf statement;
            statement.format("SHOW CREATE DATABASE `%s`;", q.c_str());
            int ok = 0;
            ResultPtr rows = source_.query(statement.c_str(), ok);
            MYSQL_ROW row = ok && rows ? source_.tunnel().fetch_row(rows.get()) : nullptr;
            if (!ok || !row) {
                if (!ok) report_object_failure(false);
                else ++errors_;
                return 0;
            }
            // The server's text starts with "CREATE DATABASE `name`"; what follows is the
            // character-set clause.
            StrBuf prefix;
            prefix.format("CREATE DATABASE `%s`", q.c_str());
            std::string_view create = row[1] ? std::string_view(row[1]) : std::string_view();
            if (create.size() <= prefix.length()) {
                ++errors_;
                return 0;
            }
            out.append_format("\nCREATE DATABASE /*!32312 IF NOT EXISTS*/`%s`%s;\n", q.c_str(),
                              row[1] + prefix.length());
        } else {
            out.append_format("\nCREATE DATABASE /*!32312 IF NOT EXISTS*/ `%s`;\n", q.c_str());
        }
    }
    if (options().usedb) out.append_format("\nUSE `%s`;\n", q.c_str());
    return 1;
}

// A per-object file, opened for one table or object, with the texts every file starts with.
int DumpWriter::begin_object_file(const std::string& name, bool& file_open_failed) {
    if (output_.form() != OutputForm::per_object) return 1;
    if (!output_.open_for_object(name)) {
        file_open_failed = true;
        return 0;
    }
    if (!output_.displaced_name().empty()) report_displaced_file(current_db_ + "." + name);
    write_header();
    write_set_block();
    return write_database_section(current_db_);
}

// The end of a per-object file's text; each_object finishes the file.
void DumpWriter::end_object_file() {
    if (output_.form() == OutputForm::per_object) write_footer();
}

// Two objects whose files would have the same name (the same table in two databases, a
// table and a routine of one name, "a/b" and "a@002fb"): the later one gets another name.
void DumpWriter::report_displaced_file(const std::string& what) {
    StrBuf text;
    text.format("%s was written earlier in this run: %s goes to %s instead.", output_.displaced_name().c_str(),
                what.c_str(), output_.file_name().c_str());
    print_warning(text);
}

}  // namespace kro::export_
