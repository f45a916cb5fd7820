# A third private MariaDB server, with binary logging on, for the dumps that record their
# binary log position. Settings as the first server's, prefixed MARIADB_BINLOG_. Uses the
# functions of mariadb.sh.

mariadb_binlog_start() { mariadb_instance_start mariadb_binlog MARIADB_BINLOG "log-bin=kro-bin" "server-id=1"; }
mariadb_binlog_stop() { mariadb_instance_stop mariadb_binlog; }
