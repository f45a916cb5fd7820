# A second private MariaDB server, so that a sync test has two servers that really are two.
# It runs in another time zone than the first (its sessions start at +03:00), so that
# TIMESTAMP values moved between the two show any zone they were shifted by. Settings as
# the first server's, prefixed MARIADB2_. Uses the functions of mariadb.sh.

mariadb2_start() { mariadb_instance_start mariadb2 MARIADB2 "default-time-zone=+03:00"; }
mariadb2_stop() { mariadb_instance_stop mariadb2; }
