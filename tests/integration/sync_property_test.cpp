// Property tests of the sync job: random tables of many key shapes and value kinds, with
// random differences between source and target, made from a seed. For every seed:
// a direct sync makes the target equal to the source (CHECKSUM TABLE and row by row); a
// second sync reports 0 inserted, updated and deleted for every table and changes
// nothing; the script a direct sync writes, replayed on a copy of the target as it was,
// gives the same rows; the script of a script-only run leaves the target alone and, replayed with the
// mariadb client, makes it equal; a two-way sync leaves both sides with the union of
// their rows, the source's content winning, and deletes nothing.
// Each test runs one seed of its own; KRO_SYNC_PROPERTY_SEEDS=n runs n seeds each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

const char* const source_db = "kro_sync_prop_src";
const char* const target_db = "kro_sync_prop_tgt";
const char* const union_db = "kro_sync_prop_union";
const char* const copy_db = "kro_sync_prop_copy";

using Rng = std::mt19937_64;

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out = "X'";
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out + "'";
}

int pick(Rng& rng, int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
bool chance(Rng& rng, int percent) { return pick(rng, 0, 99) < percent; }

// Texts that travel badly: quotes, backslashes, 4-byte UTF-8, a comment end, line breaks.
std::string random_text(Rng& rng, int max_length) {
    static const std::vector<std::string> pieces{"a", "Z", "é", "Ä", "ß", "😀", "𝄞", "'", "\"", "\\", "*/", "\n",
                                                 " ", "%", "_", "x", "0", "中", "`"};
    std::string out;
    int n = pick(rng, 0, max_length);
    for (int i = 0; i < n; ++i) out += pieces[pick(rng, 0, static_cast<int>(pieces.size()) - 1)];
    return out;
}

std::string random_bytes(Rng& rng, int length) {
    std::string out;
    for (int i = 0; i < length; ++i) out += static_cast<char>(pick(rng, 0, 255));
    return out;
}

// Bytes of a single-byte set: ASCII letters and the upper half, where latin1 and cp1251 differ.
std::string high_text(Rng& rng) {
    std::string out;
    for (int i = pick(rng, 0, 12); i > 0; --i) out += static_cast<char>(chance(rng, 30) ? pick(rng, 'A', 'Z') : pick(rng, 0xC0, 0xFF));
    return out;
}

// The value columns every table carries, as SQL literals.
std::string value_columns(Rng& rng, bool all_bytes, bool long_values = false) {
    auto nullable = [&rng](const std::string& literal) { return chance(rng, 15) ? std::string("NULL") : literal; };
    std::string note = chance(rng, 20) ? "''" : nullable(hex(random_text(rng, 12)));
    std::string bytes;
    if (all_bytes) {
        for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
    } else {
        bytes = random_bytes(rng, pick(rng, 0, 40));
    }
    std::string bit = nullable("b'" + std::string(1, "01"[pick(rng, 0, 1)]) + std::to_string(pick(rng, 0, 1)) + "1'");
    std::string text = nullable(hex(long_values ? std::string(70000, 'w') + "😀" : random_text(rng, 30)));
    std::string blob = nullable(hex(random_bytes(rng, long_values ? 70000 : pick(rng, 0, 30))));
    return note + "," + nullable(hex(bytes)) + "," + bit + "," + text + "," + blob;
}

const char* const value_definitions =
    "`note` varchar(40) NULL, `bin` varbinary(300) NULL, `bits` bit(3) NULL, `body` mediumtext NULL, "
    "`data` longblob NULL";

// One table shape: its key columns' definitions, its key clause and a generator of
// distinct key tuples (as SQL literals, comma-separated).
struct Shape {
    std::string name;
    std::string key_definitions;
    std::string key_clause;
    int rows;
    std::function<std::string(Rng&, int)> key;  // (rng, i): the i-th candidate key
};

std::string two_digits(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

// Up to four letters that differ in case or accent only: in a binary or case-sensitive
// collation each is a key of its own.
std::string exact_word(Rng& rng, int) {
    static const char* const letters[] = {"a", "A", "b", "B", "é", "É"};
    std::string word;
    for (int n = pick(rng, 1, 4); n > 0; --n) word += letters[pick(rng, 0, 5)];
    return hex(word);
}

std::vector<Shape> shapes() {
    return {
        {"t_int", "`id` int NOT NULL", "PRIMARY KEY (`id`)", 2600,
         [](Rng& rng, int i) {
             if (i == 0) return std::string("-2147483648");
             if (i == 1) return std::string("2147483647");
             if (i == 2) return std::string("0");
             return std::to_string(chance(rng, 10) ? pick(rng, -2147483647, 2147483646) : pick(rng, -1500, 2500));
         }},
        {"t_ubig", "`id` bigint unsigned NOT NULL", "PRIMARY KEY (`id`)", 1500,
         [](Rng& rng, int i) {
             if (i == 0) return std::string("18446744073709551615");
             if (i == 1) return std::string("0");
             if (i == 2) return std::string("9223372036854775808");
             std::uniform_int_distribution<unsigned long long> any;
             return std::to_string(chance(rng, 50) ? any(rng) : any(rng) % 3000000);
         }},
        {"t_composite", "`a` int NOT NULL, `b` varchar(8) NOT NULL", "PRIMARY KEY (`a`, `b`)", 2600,
         [](Rng& rng, int) {
             return std::to_string(pick(rng, -20, 40)) + "," + hex(std::string(1, "abcxyz"[pick(rng, 0, 5)]) +
                                                                   std::to_string(pick(rng, 0, 99)));
         }},
        // Distinct base words; each row shows its word in a case or accent variant, maybe
        // with trailing spaces: one key to the server whatever the variant.
        {"t_ci", "`k` varchar(20) COLLATE utf8mb4_general_ci NOT NULL", "PRIMARY KEY (`k`)", 1400,
         [](Rng& rng, int i) {
             static const std::vector<std::vector<std::string>> letters{
                 {"a", "A", "Ä", "á", "à"}, {"b", "B"}, {"c", "C", "ç"}, {"e", "E", "é", "Ë"}, {"o", "Ö", "ó"}};
             std::string word;
             for (int n = i + 1; n > 0; n /= 6) {
                 int letter = n % 6;
                 word += letter == 5 ? std::string("\t") : letters[letter][pick(rng, 0, letters[letter].size() - 1)];
             }
             if (chance(rng, 20)) word += "  ";
             return hex(word);
         }},
        {"t_decimal", "`d` decimal(12,2) NOT NULL", "PRIMARY KEY (`d`)", 1200,
         [](Rng& rng, int) {
             return std::to_string(pick(rng, -99999, 99999)) + "." + two_digits(pick(rng, 0, 99));
         }},
        {"t_date", "`d` date NOT NULL", "PRIMARY KEY (`d`)", 1100,
         [](Rng& rng, int) {
             return "'" + std::to_string(pick(rng, 1000, 9999)) + "-" + two_digits(pick(rng, 1, 12)) + "-" +
                    two_digits(pick(rng, 1, 28)) + "'";
         }},
        {"t_datetime", "`d` datetime(3) NOT NULL", "PRIMARY KEY (`d`)", 1100,
         [](Rng& rng, int) {
             return "'" + std::to_string(pick(rng, 1900, 2100)) + "-" + two_digits(pick(rng, 1, 12)) + "-" +
                    two_digits(pick(rng, 1, 28)) + " " + two_digits(pick(rng, 0, 23)) + ":" +
                    two_digits(pick(rng, 0, 59)) + ":" + two_digits(pick(rng, 0, 59)) + "." +
                    std::to_string(pick(rng, 100, 999)) + "'";
         }},
        {"t_timestamp", "`ts` timestamp NOT NULL DEFAULT '2000-01-01 00:00:00'", "PRIMARY KEY (`ts`)", 2400,
         [](Rng& rng, int) {
             return "FROM_UNIXTIME(" + std::to_string(pick(rng, 86400, 2000000000)) + ")";
         }},
        {"t_time", "`t` time NOT NULL", "PRIMARY KEY (`t`)", 2400,
         [](Rng& rng, int) {
             int seconds = pick(rng, -838 * 3600, 838 * 3600);
             return "SEC_TO_TIME(" + std::to_string(seconds) + ")";
         }},
        {"t_float", "`f` float NOT NULL", "PRIMARY KEY (`f`)", 1300,
         [](Rng& rng, int) {
             return std::to_string(pick(rng, -500000, 500000)) + "." + std::to_string(pick(rng, 0, 9)) + "e" +
                    std::to_string(pick(rng, -3, 3));
         }},
        {"t_double", "`f` double NOT NULL", "PRIMARY KEY (`f`)", 1300,
         [](Rng& rng, int) {
             return std::to_string(pick(rng, -900000, 900000)) + "." + std::to_string(pick(rng, 0, 99999)) + "e" +
                    std::to_string(pick(rng, -20, 20));
         }},
        {"t_unique", "`u` int NOT NULL, `v` varchar(10) COLLATE utf8mb4_general_ci NOT NULL",
         "UNIQUE KEY `uv` (`u`, `v`)", 1600,
         [](Rng& rng, int) {
             return std::to_string(pick(rng, 0, 50)) + ",'" + std::string(1, "aBcD"[pick(rng, 0, 3)]) +
                    std::to_string(pick(rng, 0, 60)) + "'";
         }},
        // ENUM and SET keys order by their member numbers, not their texts; their members
        // look like type names.
        {"t_enum", "`e` enum('daytime','night','paint') NOT NULL, `n` int NOT NULL", "PRIMARY KEY (`e`, `n`)", 2600,
         [](Rng& rng, int) {
             static const char* const members[] = {"daytime", "night", "paint"};
             return std::string("'") + members[pick(rng, 0, 2)] + "'," + std::to_string(pick(rng, 0, 3000));
         }},
        {"t_set", "`s` set('real','fake','int','timestamp','double','b','a','night','c','time','year') NOT NULL",
         "PRIMARY KEY (`s`)", 2600, [](Rng& rng, int) { return std::to_string(pick(rng, 0, 2047)); }},
        {"t_bin", "`k` varchar(20) COLLATE utf8mb4_bin NOT NULL", "PRIMARY KEY (`k`)", 1200, exact_word},
        {"t_cs", "`k` varchar(20) CHARACTER SET latin1 COLLATE latin1_general_cs NOT NULL", "PRIMARY KEY (`k`)", 1200,
         exact_word},
        {"t_filtered", "`id` int NOT NULL, `grp` int NOT NULL", "PRIMARY KEY (`id`)", 900,
         [](Rng& rng, int i) { return std::to_string(i * 3 + 1) + "," + std::to_string(pick(rng, 0, 4)); }},
        // Values read and written as bytes: latin1 and cp1251 texts in one table, BIT and
        // BINARY keys; an INVISIBLE column, there only when named.
        {"t_charsets", "`id` int NOT NULL, `l1` varchar(20) CHARACTER SET latin1 NULL, `c1` varchar(20) CHARACTER SET cp1251 NULL",
         "PRIMARY KEY (`id`)", 1200,
         [](Rng& rng, int i) { return std::to_string(i) + ",_latin1 " + hex(high_text(rng)) + ",_cp1251 " + hex(high_text(rng)); }},
        {"t_bit", "`k` bit(12) NOT NULL", "PRIMARY KEY (`k`)", 1500,
         [](Rng& rng, int) { return std::to_string(pick(rng, 0, 4095)); }},
        {"t_binary", "`k` binary(16) NOT NULL", "PRIMARY KEY (`k`)", 1500,
         [](Rng& rng, int) { return hex(random_bytes(rng, pick(rng, 1, 16))); }},
        {"t_invisible", "`id` int NOT NULL, `h` int INVISIBLE DEFAULT (`id` * 7)", "PRIMARY KEY (`id`)", 1200,
         [](Rng& rng, int) { return std::to_string(pick(rng, -5000, 5000)); }},
    };
}

// A table's generated rows: key literal -> full row literal (key first).
struct TableData {
    std::vector<std::string> keys;  // in generation order
    std::map<std::string, std::string> rows;
};

struct World {
    std::vector<Shape> shapes;
    std::map<std::string, TableData> source, target;
};

std::string create_statement(const Shape& shape, const std::string& database) {
    return "CREATE TABLE `" + database + "`.`" + shape.name + "` (" + shape.key_definitions + ", " + value_definitions +
           ", " + shape.key_clause + ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci";
}

// Loads the rows into the table; INSERT IGNORE keeps the first of candidate keys that the
// server counts as one.
void load(const Shape& shape, const std::string& database, const TableData& data) {
    std::string batch;
    auto flush = [&] {
        if (batch.empty()) return;
        mariadb_exec("INSERT IGNORE INTO `" + database + "`.`" + shape.name + "` VALUES " + batch);
        batch.clear();
    };
    for (const auto& [key, row] : data.rows) {
        if (!batch.empty()) batch += ",";
        batch += "(" + row + ")";
        if (batch.size() > 400000) flush();
    }
    flush();
}

World make_world(unsigned seed) {
    Rng rng(seed);
    World world;
    world.shapes = shapes();
    for (const Shape& shape : world.shapes) {
        TableData& source = world.source[shape.name];
        std::set<std::string> seen;
        int rows = shape.rows / 2 + pick(rng, 0, shape.rows / 2);
        for (int i = 0; static_cast<int>(source.keys.size()) < rows && i < rows * 4; ++i) {
            std::string key = shape.key(rng, i);
            if (!seen.insert(key).second) continue;
            source.keys.push_back(key);
            source.rows[key] = key + "," + value_columns(rng, source.keys.size() == 7, source.keys.size() % 500 == 11);
        }
        TableData target = source;
        for (const std::string& key : source.keys) {
            if (chance(rng, 3)) target.rows.erase(key);
            else if (chance(rng, 3)) target.rows[key] = key + "," + value_columns(rng, false);
        }
        // Rows only the target holds (deleted by a sync, kept by a two-way sync).
        for (int i = 0, extra = static_cast<int>(source.keys.size()) / 30 + 1; i < extra; ++i) {
            std::string key = shape.key(rng, static_cast<int>(source.keys.size()) + 1000 + i);
            if (seen.insert(key).second) target.rows[key] = key + "," + value_columns(rng, false);
        }
        // A run of consecutive rows missing on one side or changed everywhere.
        if (!source.keys.empty()) {
            std::vector<std::string> sorted(source.keys);
            std::sort(sorted.begin(), sorted.end());
            std::size_t start = pick(rng, 0, static_cast<int>(sorted.size()) - 1);
            std::size_t end = std::min(sorted.size(), start + pick(rng, 200, 1200));
            int what = pick(rng, 0, 2);
            for (std::size_t i = start; i < end; ++i) {
                if (what == 0) target.rows.erase(sorted[i]);
                else if (what == 1) target.rows[sorted[i]] = sorted[i] + "," + value_columns(rng, false);
                else source.rows.erase(sorted[i]);
            }
        }
        if (chance(rng, 8)) source.rows.clear();  // an empty source
        else if (chance(rng, 8)) target.rows.clear();  // an empty target: copied whole
        world.target[shape.name] = std::move(target);
    }
    return world;
}

void load_side(const World& world, const std::string& database, bool source) {
    recreate_database(database);
    for (const Shape& shape : world.shapes) {
        mariadb_exec(create_statement(shape, database));
        load(shape, database, (source ? world.source : world.target).at(shape.name));
    }
}

std::string job_xml(const std::string& tables, const std::string& action, bool two_way) {
    return sync_job_xml(sync_server_xml("source", "MARIADB", source_db), sync_server_xml("target", "MARIADB", target_db),
                        "<tables all=\"no\">" + tables + "</tables>" + action +
                            (two_way ? "<twowaysync value=\"yes\"/>" : ""));
}

// The job's table list: every shape; the filtered table with a column list and a filter.
std::string listed_tables(const World& world, bool with_filtered) {
    std::string out;
    for (const Shape& shape : world.shapes) {
        if (shape.name == "t_filtered") {
            if (with_filtered)
                out += "<table><name>`t_filtered`</name><columns all=\"no\"><column>id</column><column>grp</column>"
                       "<column>note</column></columns><sqlwhere>`grp` &lt;&gt; 2</sqlwhere></table>";
            continue;
        }
        out += "<table><name>`" + shape.name + "`</name></table>";
    }
    return out;
}

// table -> {inserted, updated, deleted} of each summary line, in order.
std::map<std::string, std::vector<std::vector<unsigned long>>> summary_counts(const std::string& out) {
    std::map<std::string, std::vector<std::vector<unsigned long>>> counts;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("`t_", 0) != 0) continue;
        std::istringstream words(line);
        std::string name;
        unsigned long source_rows, target_rows, inserted, updated, deleted;
        if (words >> name >> source_rows >> target_rows >> inserted >> updated >> deleted)
            counts[name].push_back({inserted, updated, deleted});
    }
    return counts;
}

void expect_equal_tables(const World& world, const std::string& a, const std::string& b, const std::string& when,
                         bool with_filtered = false) {
    for (const Shape& shape : world.shapes) {
        if (shape.name == "t_filtered" && !with_filtered) continue;
        EXPECT_EQ(table_checksum(a, shape.name), table_checksum(b, shape.name)) << when << ": " << shape.name;
        EXPECT_TRUE(table_rows(a, shape.name) == table_rows(b, shape.name)) << when << ": rows of " << shape.name;
    }
}

// With a filter and a column list: every source row inside the filter is on the target
// with the listed columns equal; the target's other rows are left alone.
void expect_filtered_synced(const std::string& when) {
    std::string inside = client_query("select count(*) from `" + std::string(source_db) +
                                      "`.`t_filtered` where grp <> 2");
    std::string matched = client_query(
        "select count(*) from `" + std::string(source_db) + "`.`t_filtered` s join `" + target_db +
        "`.`t_filtered` t on t.id = s.id and t.grp = s.grp and t.note <=> s.note where s.grp <> 2");
    EXPECT_EQ(inside, matched) << when;
}

class SyncProperty : public ::testing::Test {
protected:
    static int seeds() {
        const char* text = std::getenv("KRO_SYNC_PROPERTY_SEEDS");
        int n = text ? std::atoi(text) : 0;
        return n > 0 ? n : 1;
    }
};

TEST_F(SyncProperty, RandomTablesEndEqualAndASecondSyncFindsNothing) {
    for (int s = 0; s < seeds(); ++s) {
        unsigned seed = 20261208u + static_cast<unsigned>(s) * 7919u;
        SCOPED_TRACE("seed " + std::to_string(seed));
        World world = make_world(seed);
        load_side(world, source_db, true);
        load_side(world, target_db, false);
        TempDir dir;
        // A copy of the target as it was, for the script the direct sync writes too.
        recreate_database(copy_db);
        for (const Shape& shape : world.shapes)
            mariadb_exec(create_statement(shape, copy_db) + "; INSERT INTO `" + copy_db + "`.`" + shape.name +
                         "` SELECT * FROM `" + target_db + "`.`" + shape.name + "`");
        const std::string script = dir.file("sync.sql");

        RunResult first = run_sync_job(
            dir, job_xml(listed_tables(world, true), "<sync_action type=\"all\"><file>" + script + "</file></sync_action>",
                         false));
        ASSERT_EQ(first.exit_code, 0) << first.out;
        expect_equal_tables(world, source_db, target_db, "after a direct sync");
        expect_filtered_synced("after a direct sync");
        std::string output;
        ASSERT_EQ(replay_dump(script, copy_db, &output), 0) << output;
        expect_equal_tables(world, target_db, copy_db, "after replaying the direct sync's script", true);

        std::map<std::string, std::string> before;
        for (const Shape& shape : world.shapes) before[shape.name] = table_checksum(target_db, shape.name);
        RunResult second = run_sync_job(dir, job_xml(listed_tables(world, true), "", false));
        ASSERT_EQ(second.exit_code, 0) << second.out;
        auto counts = summary_counts(second.out);
        for (const Shape& shape : world.shapes) {
            const auto& lines = counts["`" + shape.name + "`"];
            ASSERT_EQ(lines.size(), 1u) << shape.name << "\n" << second.out;
            EXPECT_EQ(lines[0], (std::vector<unsigned long>{0, 0, 0})) << shape.name << "\n" << second.out;
            EXPECT_EQ(table_checksum(target_db, shape.name), before[shape.name]) << shape.name;
        }
        if (HasFailure()) return;
    }
}

TEST_F(SyncProperty, AScriptOnlyRunChangesNothingAndItsScriptReplaysToEqualTables) {
    for (int s = 0; s < seeds(); ++s) {
        unsigned seed = 977u + static_cast<unsigned>(s) * 104729u;
        SCOPED_TRACE("seed " + std::to_string(seed));
        World world = make_world(seed);
        load_side(world, source_db, true);
        load_side(world, target_db, false);
        std::map<std::string, std::string> before;
        for (const Shape& shape : world.shapes) before[shape.name] = table_checksum(target_db, shape.name);

        TempDir dir;
        std::string script = dir.file("sync.sql");
        RunResult run = run_sync_job(dir, job_xml(listed_tables(world, false),
                                             "<sync_action type=\"script\"><file>" + script + "</file></sync_action>",
                                             false));
        ASSERT_EQ(run.exit_code, 0) << run.out;
        for (const Shape& shape : world.shapes)
            EXPECT_EQ(table_checksum(target_db, shape.name), before[shape.name]) << "script-only touched " << shape.name;
        std::string output;
        ASSERT_EQ(replay_dump(script, target_db, &output), 0) << output;
        expect_equal_tables(world, source_db, target_db, "after replaying the script");
        if (HasFailure()) return;
    }
}

TEST_F(SyncProperty, ATwoWaySyncLeavesBothSidesWithTheUnionAndTheSourcesContent) {
    for (int s = 0; s < seeds(); ++s) {
        unsigned seed = 31337u + static_cast<unsigned>(s) * 65537u;
        SCOPED_TRACE("seed " + std::to_string(seed));
        World world = make_world(seed);
        load_side(world, source_db, true);
        load_side(world, target_db, false);
        // The expected union: the source's rows, then the target's rows of other keys.
        recreate_database(union_db);
        for (const Shape& shape : world.shapes) {
            std::string table = "`" + shape.name + "`";
            mariadb_exec(create_statement(shape, union_db) + "; INSERT INTO `" + union_db + "`." + table +
                         " SELECT * FROM `" + source_db + "`." + table + "; INSERT IGNORE INTO `" + union_db + "`." +
                         table + " SELECT * FROM `" + target_db + "`." + table);
        }

        TempDir dir;
        RunResult run = run_sync_job(dir, job_xml(listed_tables(world, false), "", true));
        ASSERT_EQ(run.exit_code, 0) << run.out;
        expect_equal_tables(world, union_db, source_db, "source after a two-way sync");
        expect_equal_tables(world, union_db, target_db, "target after a two-way sync");
        for (const auto& [table, lines] : summary_counts(run.out)) {
            ASSERT_EQ(lines.size(), 2u) << table;
            EXPECT_EQ(lines[0][2] + lines[1][2], 0u) << table << " deleted rows";
        }
        if (HasFailure()) return;
    }
}

}  // namespace
