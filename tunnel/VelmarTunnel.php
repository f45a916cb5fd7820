<?php
// The HTTP tunnel script of kro. Put it on a web server that can reach your MySQL or
// MariaDB server; kro posts each statement (or batch of statements) to it as XML, the
// script runs them with mysqli and answers with their results as XML.
// See README.md beside this file for deploying and protecting it.

// Servers this script may connect to, as kro's tunnelinfo names them (the host value).
// Keep this list short: anyone who can reach the script may ask it to connect to these.
// An empty list allows any host.
$tunnel_allowed_hosts = array('localhost', '127.0.0.1', '::1');

define('TUNNEL_VERSION', '8.05');

error_reporting(0);
ini_set('display_errors', '0');
set_time_limit(0);

// The version check: "?app=velmar&version=..." (possibly after a query string of its own).
$query_string = isset($_SERVER['QUERY_STRING']) ? $_SERVER['QUERY_STRING'] : '';
if (strpos($query_string, 'app=velmar') !== false) {
    header('Content-Type: text/plain');
    if (version_compare(PHP_VERSION, '5.3.0', '<')) {
        echo 'TunnelVersion:PHP_VERSION_ERROR';
    } elseif (!extension_loaded('mysqli')) {
        echo 'TunnelVersion:PHP_MODULE_NOT_INSTALLED';
    } else {
        echo 'TunnelVersion:' . TUNNEL_VERSION;
    }
    exit;
}

$request = file_get_contents('php://input');
if ($request === false || $request === '') {
    // kro's empty probe that lets a server or proxy ask for credentials first.
    exit;
}
header('Content-Type: text/xml; charset=utf-8');

// ---- XML text -------------------------------------------------------------------------

function tunnel_escape($text)
{
    $text = str_replace(array('&', '<', '>', '"', "'"), array('&amp;', '&lt;', '&gt;', '&quot;', '&apos;'), $text);
    return preg_replace_callback('/[\x00-\x08\x0B\x0C\x0E-\x1F]/', function ($m) {
        return sprintf('&#x%X;', ord($m[0]));
    }, $text);
}

function tunnel_code_point($n)
{
    if ($n < 0x80) return chr($n);
    if ($n < 0x800) return chr(0xC0 | ($n >> 6)) . chr(0x80 | ($n & 0x3F));
    if ($n < 0x10000) return chr(0xE0 | ($n >> 12)) . chr(0x80 | (($n >> 6) & 0x3F)) . chr(0x80 | ($n & 0x3F));
    return chr(0xF0 | ($n >> 18)) . chr(0x80 | (($n >> 12) & 0x3F)) . chr(0x80 | (($n >> 6) & 0x3F)) . chr(0x80 | ($n & 0x3F));
}

function tunnel_unescape($text)
{
    if (strpos($text, '&') === false) return $text;
    $named = array('quot' => '"', 'amp' => '&', 'apos' => "'", 'lt' => '<', 'gt' => '>');
    return preg_replace_callback('/&(#x[0-9A-Fa-f]{1,6}|#[0-9]{1,7}|quot|amp|apos|lt|gt);/', function ($m) use ($named) {
        $e = $m[1];
        if ($e[0] !== '#') return $named[$e];
        $n = ($e[1] === 'x') ? hexdec(substr($e, 2)) : intval(substr($e, 1));
        return $n <= 0x10FFFF ? tunnel_code_point($n) : $m[0];
    }, $text);
}

// The value of the first element <tag ...>value</tag> of the request, decoded; null when
// the element is missing. Values are escaped, so the first end tag closes the element.
function tunnel_value($request, $tag, $base64_default = false)
{
    $from = 0;
    while (($at = strpos($request, '<' . $tag, $from)) !== false) {
        $after = substr($request, $at + strlen($tag) + 1, 1);
        if ($after === '>' || $after === ' ' || $after === '/') break;
        $from = $at + 1;
    }
    if ($at === false) return null;
    $gt = strpos($request, '>', $at);
    if ($gt === false) return null;
    $attributes = substr($request, $at, $gt - $at);
    if (substr($attributes, -1) === '/') return '';
    $close = strpos($request, '</' . $tag . '>', $gt);
    if ($close === false) return null;
    $value = substr($request, $gt + 1, $close - $gt - 1);
    if (preg_match('/\se\s*=\s*[\'"]([01])[\'"]/', $attributes, $m)) {
        $base64 = $m[1] === '1';
    } else {
        $base64 = $base64_default;
    }
    if ($base64) {
        $decoded = base64_decode($value, true);
        return $decoded === false ? null : $decoded;
    }
    return tunnel_unescape($value);
}

// ---- Answer elements -----------------------------------------------------------------

function tunnel_error_element($number, $text)
{
    echo "<r v='" . TUNNEL_VERSION . "'><e_i><e_n>" . intval($number) . '</e_n><e_d>' . tunnel_escape($text) . '</e_d></e_i></r>';
}

function tunnel_server_version($mysqli)
{
    $version = $mysqli->server_info;
    // MariaDB's replication prefix is not part of its version.
    return strncmp($version, '5.5.5-', 6) === 0 ? substr($version, 6) : $version;
}

function tunnel_status_elements($mysqli, $affected_rows)
{
    $out = '<e_i/><s_v>' . tunnel_escape(tunnel_server_version($mysqli)) . '</s_v>';
    $info = $mysqli->info;
    if ($info !== null && $info !== '') $out .= '<m_i>' . tunnel_escape($info) . '</m_i>';
    return $out . '<a_r>' . $affected_rows . '</a_r><i_i>' . $mysqli->insert_id . '</i_i>';
}

function tunnel_type_name($type)
{
    static $names = array(
        0 => 'DECIMAL', 1 => 'TINYINT', 2 => 'SMALLINT', 3 => 'INT', 4 => 'FLOAT', 5 => 'DOUBLE',
        6 => 'NULL', 7 => 'TIMESTAMP', 8 => 'BIGINT', 9 => 'MEDIUMINT', 10 => 'DATE', 11 => 'TIME',
        12 => 'DATETIME', 13 => 'YEAR', 14 => 'DATE', 15 => 'VARCHAR', 16 => 'BIT', 246 => 'DECIMAL',
        247 => 'ENUM', 248 => 'SET', 249 => 'TINYBLOB', 250 => 'MEDIUMBLOB', 251 => 'LONGBLOB',
        252 => 'BLOB', 253 => 'VARCHAR', 254 => 'CHAR', 255 => 'GEOMETRY');
    return isset($names[$type]) ? $names[$type] : 'VARCHAR';
}

// PHP's MySQL driver hands BIT values over as decimal numbers; clients expect the column's
// bytes, most significant first, as many as the column's width needs.
function tunnel_bit_bytes($decimal, $bits)
{
    $digits = ltrim((string) $decimal, '0');
    $bytes = '';
    while ($digits !== '') {
        $quotient = '';
        $carry = 0;
        for ($i = 0, $n = strlen($digits); $i < $n; $i++) {
            $carry = $carry * 10 + ord($digits[$i]) - 48;
            $q = intdiv($carry, 256);
            if ($quotient !== '' || $q > 0) $quotient .= chr(48 + $q);
            $carry %= 256;
        }
        $bytes = chr($carry) . $bytes;
        $digits = $quotient;
    }
    return str_pad($bytes, max(1, intdiv($bits + 7, 8)), "\0", STR_PAD_LEFT);
}

// A result set: rows go to a temporary stream first (memory, then disk), because the row
// count and the longest values come before the rows in the answer.
function tunnel_result_set($mysqli, $result)
{
    $fields = $result->fetch_fields();
    $count = count($fields);
    $longest = array_fill(0, $count, 0);
    $rows = fopen('php://temp/maxmemory:4194304', 'w+');
    $row_count = 0;
    while (($row = $result->fetch_row()) !== null && $row !== false) {
        $line = '<r>';
        for ($i = 0; $i < $count; $i++) {
            $value = $row[$i];
            if ($value === null) {
                $line .= '<c>(NULL)</c>';
                continue;
            }
            $value = $fields[$i]->type == 16 ? tunnel_bit_bytes($value, $fields[$i]->length) : (string) $value;
            $length = strlen($value);
            if ($length > $longest[$i]) $longest[$i] = $length;
            // An empty CDATA section is an empty text: an element without text would mean spaces.
            $line .= "<c l='" . $length . "'>" . ($length ? base64_encode($value) : '<![CDATA[]]>') . '</c>';
        }
        fwrite($rows, $line . '</r>');
        $row_count++;
    }
    $result->free();
    if ($mysqli->errno) {
        fclose($rows);
        tunnel_error_element($mysqli->errno, $mysqli->error);
        return;
    }
    echo "<r v='" . TUNNEL_VERSION . "'>" . tunnel_status_elements($mysqli, $row_count) . "<f_i c='" . $count . "'>";
    foreach ($fields as $i => $f) {
        echo '<f><n>' . tunnel_escape($f->name) . '</n><t>' . tunnel_escape($f->table) . '</t><m>' . $longest[$i]
            . '</m><d>' . tunnel_escape((string) $f->def) . '</d><ty>' . tunnel_type_name($f->type) . '</ty></f>';
    }
    echo "</f_i><r_i c='" . $row_count . "'>";
    rewind($rows);
    $out = fopen('php://output', 'w');
    stream_copy_to_stream($rows, $out);
    fclose($out);
    fclose($rows);
    echo '</r_i></r>';
}

function tunnel_statement_result($mysqli)
{
    $result = $mysqli->use_result();
    if ($result) {
        tunnel_result_set($mysqli, $result);
    } elseif ($mysqli->errno) {
        tunnel_error_element($mysqli->errno, $mysqli->error);
    } else {
        echo "<r v='" . TUNNEL_VERSION . "'>" . tunnel_status_elements($mysqli, $mysqli->affected_rows) . '</r>';
    }
}

// ---- The request ------------------------------------------------------------------------

echo '<xml>';
if (!extension_loaded('mysqli')) {
    tunnel_error_element(2047, 'The PHP of the tunnel\'s web server has no mysqli module.');
    echo '</xml>';
    exit;
}
mysqli_report(MYSQLI_REPORT_OFF);

$header_base64 = isset($_SERVER['HTTP_BASE64']) && strtolower($_SERVER['HTTP_BASE64']) === 'yes';
$host = tunnel_value($request, 'host');
$user = tunnel_value($request, 'user');
$password = tunnel_value($request, 'password');
$database = tunnel_value($request, 'db');
$charset = tunnel_value($request, 'charset');
$port = tunnel_value($request, 'port');
$query = tunnel_value($request, 'query', $header_base64);
$query_length = tunnel_value($request, 'querylen');

if ($query === null || $query_length === null || strlen($query) != intval($query_length)) {
    tunnel_error_element(2027, 'The tunnel request arrived incomplete or malformed.');
    echo '</xml>';
    exit;
}
$host = ($host === null || $host === '') ? 'localhost' : $host;
if (count($tunnel_allowed_hosts) > 0 && !in_array(strtolower($host), $tunnel_allowed_hosts, true)) {
    tunnel_error_element(1130, "Host '" . $host . "' is not allowed by the tunnel script's configuration.");
    echo '</xml>';
    exit;
}

$mysqli = mysqli_init();
$connected = $mysqli->real_connect($host, $user === null ? '' : $user, $password === null ? '' : $password,
    ($database === null || $database === '') ? null : $database, intval($port) > 0 ? intval($port) : 3306);
if (!$connected) {
    tunnel_error_element(mysqli_connect_errno(), mysqli_connect_error());
    echo '</xml>';
    exit;
}
// "utf8" asks for full UTF-8: four-byte characters must survive.
$wanted = ($charset === null || $charset === '' || strtolower($charset) === 'utf8') ? 'utf8mb4' : $charset;
if (!$mysqli->set_charset($wanted) && $wanted === 'utf8mb4') $mysqli->set_charset('utf8');

// The server splits the text into statements itself, so delimiters inside strings,
// comments and routine bodies are never mistaken for statement ends.
if (!$mysqli->multi_query($query)) {
    tunnel_error_element($mysqli->errno, $mysqli->error);
} else {
    while (true) {
        tunnel_statement_result($mysqli);
        if (!$mysqli->more_results()) break;
        if (!$mysqli->next_result()) {
            tunnel_error_element($mysqli->errno, $mysqli->error);
            break;
        }
    }
}
$mysqli->close();
echo '</xml>';
