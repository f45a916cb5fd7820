<?php
// The HTTP tunnel script of kro. Put it on a web server that can reach your MySQL or
// MariaDB server; kro posts each statement (or batch of statements) to it as XML, the
// script runs them with mysqli and answers with their results as XML.
//
// Running statements for a client that presents valid database credentials is all it
// does: it connects only to the servers its settings allow, reads no local files for
// LOAD DATA, answers no browser, and bounds the size of requests and answers and the
// time it waits. Settings live in tunnel-config.php beside this file, so that replacing
// the script keeps them; README.md beside this file describes them.

define('TUNNEL_VERSION', '8.05');
define('TUNNEL_CHUNK', 1048576);  // answer bytes collected before each write
// Collected answer bytes are written in pieces of this size: a compressed answer then
// travels while its rest is compressed, instead of waiting for a whole chunk.
define('TUNNEL_PIECE', 65536);

// Error numbers of the tunnel's own refusals (the client library's numbers for alike faults).
define('TUNNEL_ERR_REFUSED', 2000);      // the script's settings or PHP forbid running
define('TUNNEL_ERR_TOO_LARGE', 2020);    // the answer outgrew max_answer_bytes
define('TUNNEL_ERR_MALFORMED', 2027);    // a request that is not kro's
define('TUNNEL_ERR_NO_MYSQLI', 2047);
define('TUNNEL_ERR_NOT_ALLOWED', 1130);  // host and port not in the allow list

error_reporting(0);
ini_set('display_errors', '0');
ignore_user_abort(false);  // a client that has gone away ends the script at the next write
while (ob_get_level() > 0 && ob_end_clean());
// Answers are mostly Base64 in XML: compressed, for a client that asks, they travel in about
// half the bytes. Level 1 gives most of that for a small part of the time.
if (extension_loaded('zlib')) {
    ini_set('zlib.output_compression_level', '1');
    ini_set('zlib.output_compression', '1');
}
header_remove('X-Powered-By');
header('Cache-Control: no-store');
header('X-Content-Type-Options: nosniff');

function tunnel_status($code, $text)
{
    http_response_code($code);
    header('Content-Type: text/plain; charset=utf-8');
    echo $text;
    exit;
}

// kro only posts, and never sends the headers with which browsers mark their requests:
// a web page cannot make a visitor's browser run statements here.
if (!isset($_SERVER['REQUEST_METHOD']) || $_SERVER['REQUEST_METHOD'] !== 'POST') {
    header('Allow: POST');
    tunnel_status(405, 'Method not allowed');
}
foreach ($_SERVER as $name => $value) {
    if ($name === 'HTTP_ORIGIN' || strncmp($name, 'HTTP_SEC_FETCH_', 15) === 0) {
        tunnel_status(403, 'Forbidden');
    }
}

// ---- Settings ---------------------------------------------------------------------------

// The settings: the defaults, overridden by tunnel-config.php when it exists. A string
// describes what is wrong with the file.
function tunnel_settings()
{
    $settings = array(
        'allow' => array('localhost:3306', '127.0.0.1:3306', '[::1]:3306'),
        'read_timeout' => 300,
        'max_request_bytes' => 64 * 1024 * 1024,
        'max_answer_bytes' => 1024 * 1024 * 1024,
    );
    $file = __DIR__ . '/tunnel-config.php';
    if (!file_exists($file)) return $settings;
    $given = include $file;
    if (!is_array($given)) return 'tunnel-config.php must return an array of settings.';
    foreach ($given as $key => $value) {
        if (!array_key_exists($key, $settings)) return "tunnel-config.php: unknown setting '$key'.";
        if ($key === 'allow' ? !is_array($value) : (!is_int($value) || $value < 1)) {
            return $key === 'allow' ? "tunnel-config.php: 'allow' must be a list of \"host:port\" entries."
                : "tunnel-config.php: '$key' must be a whole number above 0.";
        }
        $settings[$key] = $value;
    }
    $allow = array();
    foreach ($settings['allow'] as $entry) {
        $parsed = is_string($entry) ? tunnel_host_port($entry) : null;
        if ($parsed === null) return "tunnel-config.php: '" . $entry . "' in 'allow' is not \"host:port\" with a port of 1 to 65535.";
        $allow[] = $parsed;
    }
    $settings['allow'] = $allow;
    return $settings;
}

// "host:port" or "[IPv6 address]:port" as the lower-case host without brackets and the
// port; null when it is neither or the port is outside 1..65535.
function tunnel_host_port($entry)
{
    if (!preg_match('/\A(?:\[([0-9A-Fa-f:.]+)\]|([^\s:\[\]\/]+)):([0-9]{1,5})\z/', $entry, $m)) return null;
    $port = intval($m[3]);
    if ($port < 1 || $port > 65535) return null;
    return strtolower($m[1] !== '' ? $m[1] : $m[2]) . ' ' . $port;
}

// Why the script must not run here, or null.
function tunnel_refusal($settings)
{
    if (is_string($settings)) return $settings;
    // A set directory lets LOAD DATA LOCAL read its files whatever the connection says.
    if ((string) ini_get('mysqli.local_infile_directory') !== '') {
        return 'The tunnel script refuses to run while mysqli.local_infile_directory is set in php.ini: '
            . 'it would let statements read files of the web server.';
    }
    return null;
}

// The script's own work is limited too: the limit starts again at each step of progress
// (a statement, a part of a result), so large answers are not cut.
function tunnel_progress()
{
    global $settings;
    if (function_exists('set_time_limit')) set_time_limit($settings['read_timeout']);
}

$settings = tunnel_settings();
$refusal = tunnel_refusal($settings);
if ($refusal === null) tunnel_progress();

// ---- The version check: "?app=velmar&version=..." (possibly after a query string of its own)

$query_string = isset($_SERVER['QUERY_STRING']) ? $_SERVER['QUERY_STRING'] : '';
if (strpos($query_string, 'app=velmar') !== false) {
    header('Content-Type: text/plain; charset=utf-8');
    if (version_compare(PHP_VERSION, '7.2.0', '<')) {
        echo 'TunnelVersion:PHP_VERSION_ERROR';
    } elseif (!extension_loaded('mysqli')) {
        echo 'TunnelVersion:PHP_MODULE_NOT_INSTALLED';
    } elseif ($refusal !== null) {
        echo $refusal;
    } else {
        // The largest answer announced: kro then reads tables in pages larger than
        // 1000 rows, sized to fit it.
        echo 'TunnelVersion:' . TUNNEL_VERSION . ' max_answer_bytes=' . $settings['max_answer_bytes'];
    }
    exit;
}

// ---- XML text ---------------------------------------------------------------------------

// The character set the answer's texts (names, messages) are in: null for UTF-8, else the
// encoding the XML declaration names. Values travel in Base64 and need none.
$tunnel_encoding = null;

// Text as XML character data. XML cannot carry control characters: they become '?'. In a
// UTF-8 answer a byte that is not UTF-8 is taken as Latin-1, so the answer stays valid.
function tunnel_escape($text)
{
    global $tunnel_encoding;
    $text = strtr((string) $text, array('&' => '&amp;', '<' => '&lt;', '>' => '&gt;', '"' => '&quot;', "'" => '&apos;'));
    $text = preg_replace('/[\x00-\x08\x0B\x0C\x0E-\x1F]/', '?', $text);
    if ($tunnel_encoding === null && (!preg_match('//u', $text) || preg_match('/\xEF\xBF[\xBE\xBF]/', $text))) {
        $text = preg_replace_callback('/[\x00-\x7F]+|[\xC2-\xDF][\x80-\xBF]|\xE0[\xA0-\xBF][\x80-\xBF]'
            . '|\xEF\xBF[\xBE\xBF]|[\xE1-\xEC\xEE\xEF][\x80-\xBF]{2}|\xED[\x80-\x9F][\x80-\xBF]'
            . '|\xF0[\x90-\xBF][\x80-\xBF]{2}|[\xF1-\xF3][\x80-\xBF]{3}|\xF4[\x80-\x8F][\x80-\xBF]{2}|(.)/s',
            function ($m) {
                if (isset($m[1])) return chr(0xC0 | (ord($m[1]) >> 6)) . chr(0x80 | (ord($m[1]) & 0x3F));
                return ($m[0] === "\xEF\xBF\xBE" || $m[0] === "\xEF\xBF\xBF") ? '?' : $m[0];
            }, $text);
    }
    return $text;
}

// The XML encoding name of a MySQL character set; byte-transparent ISO-8859-1 for the rest.
function tunnel_xml_encoding($charset)
{
    static $names = array(
        'latin1' => 'windows-1252', 'latin2' => 'ISO-8859-2', 'latin5' => 'ISO-8859-9',
        'latin7' => 'ISO-8859-13', 'greek' => 'ISO-8859-7', 'hebrew' => 'ISO-8859-8',
        'cp1250' => 'windows-1250', 'cp1251' => 'windows-1251', 'cp1256' => 'windows-1256',
        'cp1257' => 'windows-1257', 'koi8r' => 'KOI8-R', 'koi8u' => 'KOI8-U', 'ascii' => 'US-ASCII',
        'sjis' => 'Shift_JIS', 'cp932' => 'Windows-31J', 'ujis' => 'EUC-JP', 'eucjpms' => 'EUC-JP',
        'gbk' => 'GBK', 'gb2312' => 'GB2312', 'gb18030' => 'GB18030', 'big5' => 'Big5',
        'euckr' => 'EUC-KR', 'tis620' => 'TIS-620');
    $charset = strtolower($charset);
    if (strncmp($charset, 'utf8', 4) === 0) return null;
    return isset($names[$charset]) ? $names[$charset] : 'ISO-8859-1';
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

// A value of the request as kro sends it: Base64 when e is 1, else escaped text.
function tunnel_decode($encoded, $text)
{
    return $encoded === '1' ? base64_decode($text, true) : tunnel_unescape($text);
}

// ---- The answer ---------------------------------------------------------------------------

$tunnel_answer_bytes = 0;  // bytes of the answer so far, written or spooled
$tunnel_answer_open = false;

// Sends what is written so far on to kro, through the compression when it is on.
function tunnel_flush()
{
    if (ob_get_level() > 0) @ob_flush();
    flush();
}

function tunnel_out($text)
{
    global $tunnel_answer_bytes;
    $tunnel_answer_bytes += strlen($text);
    echo $text;
}

// Starts the answer: the declaration (for texts not in UTF-8) and the top element.
function tunnel_open_answer()
{
    global $tunnel_encoding, $tunnel_answer_open;
    if ($tunnel_answer_open) return;
    $tunnel_answer_open = true;
    header('Content-Type: text/xml; charset=' . ($tunnel_encoding === null ? 'utf-8' : $tunnel_encoding));
    if ($tunnel_encoding !== null) tunnel_out("<?xml version='1.0' encoding='" . $tunnel_encoding . "'?>");
    tunnel_out('<xml>');
}

function tunnel_error_element($number, $text)
{
    tunnel_open_answer();
    tunnel_out("<r v='" . TUNNEL_VERSION . "'><e_i><e_n>" . intval($number) . '</e_n><e_d>' . tunnel_escape($text) . '</e_d></e_i></r>');
}

// Ends the answer; the connection is closed first, so that a result left unread is not
// read to its end when it is freed.
function tunnel_finish($mysqli)
{
    if ($mysqli !== null) $mysqli->close();
    tunnel_open_answer();
    tunnel_out('</xml>');
    exit;
}

// Ends the request with one error element.
function tunnel_fail($number, $text)
{
    tunnel_error_element($number, $text);
    tunnel_finish(null);
}

// The rows of a result come after their count and the longest value of each column, so
// they are collected first: in memory up to TUNNEL_CHUNK bytes, beyond that in a
// temporary file that is removed at once (it lives on through its handle only) or, where
// the system cannot remove open files, when the request ends.
class TunnelSpool
{
    public $bytes = 0;
    private $memory = '';
    private $file = null;
    private $path = null;

    // False when the text could not be stored.
    function add($text)
    {
        $this->bytes += strlen($text);
        $this->memory .= $text;
        return strlen($this->memory) < TUNNEL_CHUNK || $this->flush();
    }

    private function flush()
    {
        if ($this->file === null) {
            $path = tempnam(sys_get_temp_dir(), 'kro');
            if ($path === false) return false;
            $this->file = fopen($path, 'w+b');
            if ($this->file === false || !unlink($path)) {
                $this->path = $path;
                register_shutdown_function(array($this, 'discard'));
                if ($this->file === false) return false;
            }
        }
        $length = strlen($this->memory);
        if (fwrite($this->file, $this->memory) !== $length) return false;
        $this->memory = '';
        return true;
    }

    // Writes everything to the answer; false when the temporary file gave back less.
    function send()
    {
        if ($this->file !== null) {
            $left = $this->bytes - strlen($this->memory);
            if (!rewind($this->file)) return false;
            while ($left > 0) {
                $part = fread($this->file, min($left, TUNNEL_CHUNK));
                if ($part === false || $part === '') return false;
                $left -= strlen($part);
                self::write($part);
            }
        }
        self::write($this->memory);
        $this->discard();
        return true;
    }

    private static function write($text)
    {
        for ($at = 0, $length = strlen($text); $at < $length; $at += TUNNEL_PIECE) {
            echo substr($text, $at, TUNNEL_PIECE);
        }
    }

    function discard()
    {
        $this->memory = '';
        if (is_resource($this->file)) fclose($this->file);
        $this->file = null;
        if ($this->path !== null) @unlink($this->path);
        $this->path = null;
    }
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

function tunnel_too_large()
{
    global $settings;
    tunnel_error_element(TUNNEL_ERR_TOO_LARGE, 'The answer would be larger than max_answer_bytes ('
        . $settings['max_answer_bytes'] . ' bytes) of the tunnel script\'s settings.');
}

// One result set. An answer that would outgrow max_answer_bytes ends the request.
function tunnel_result_set($mysqli, $result)
{
    global $settings, $tunnel_answer_bytes;
    $limit = $settings['max_answer_bytes'] - $tunnel_answer_bytes;
    $fields = $result->fetch_fields();
    $count = count($fields);
    $longest = array_fill(0, $count, 0);
    $bits = array();
    foreach ($fields as $i => $f) {
        if ($f->type == 16) $bits[$i] = $f->length;
    }
    $spool = new TunnelSpool();
    $tags = array();
    $rows = 0;
    $stored = true;
    $chunk = '';
    while ($row = $result->fetch_row()) {
        foreach ($bits as $i => $width) {
            if ($row[$i] !== null) $row[$i] = tunnel_bit_bytes($row[$i], $width);
        }
        $chunk .= '<r>';
        foreach ($row as $i => $value) {
            if ($value === null) {
                $chunk .= '<c>(NULL)</c>';
            } elseif (($length = strlen($value)) === 0) {
                // An empty text: an element without text would stand for spaces.
                $chunk .= "<c l='0'><![CDATA[]]></c>";
            } else {
                if ($length > $longest[$i]) $longest[$i] = $length;
                // The start tags of short values are made once: a tenth of the script's time.
                $chunk .= ($length < 4096 ? ($tags[$length] ?? ($tags[$length] = "<c l='" . $length . "'>"))
                    : "<c l='" . $length . "'>") . base64_encode($value) . '</c>';
            }
        }
        $chunk .= '</r>';
        $rows++;
        if (strlen($chunk) >= 65536) {
            if ($spool->bytes + strlen($chunk) > $limit) break;
            $stored = $spool->add($chunk);
            $chunk = '';
            if (!$stored) break;
            // A space between the answer's elements: a client that has gone away ends the
            // script at this write instead of after the whole result, and kro sees progress.
            tunnel_progress();
            tunnel_out(' ');
            tunnel_flush();
            $limit--;
        }
    }
    if ($stored && $spool->bytes + strlen($chunk) > $limit) {
        $spool->discard();
        tunnel_too_large();
        tunnel_finish($mysqli);
    }
    if (!$stored || !$spool->add($chunk)) {
        $spool->discard();
        tunnel_error_element(TUNNEL_ERR_REFUSED, 'The tunnel script could not store the answer in a temporary file.');
        tunnel_finish($mysqli);
    }
    $chunk = '';
    $result->free();
    if ($mysqli->errno) {
        $spool->discard();
        tunnel_error_element($mysqli->errno, $mysqli->error);
        return;
    }
    $head = "<r v='" . TUNNEL_VERSION . "'>" . tunnel_status_elements($mysqli, $rows) . "<f_i c='" . $count . "'>";
    foreach ($fields as $i => $f) {
        $head .= '<f><n>' . tunnel_escape($f->name) . '</n><t>' . tunnel_escape($f->table) . '</t><m>' . $longest[$i]
            . '</m><d>' . tunnel_escape((string) $f->def) . '</d><ty>' . tunnel_type_name($f->type) . '</ty></f>';
    }
    $head .= "</f_i><r_i c='" . $rows . "'>";
    if (strlen($head) + $spool->bytes + strlen('</r_i></r>') > $limit) {
        $spool->discard();
        tunnel_too_large();
        tunnel_finish($mysqli);
    }
    tunnel_out($head);
    $tunnel_answer_bytes += $spool->bytes;
    // A temporary file that gives back less than it took leaves the answer short of its
    // rows; kro refuses such an answer, so nothing more is written.
    if (!$spool->send()) exit;
    tunnel_out('</r_i></r>');
}

function tunnel_statement_result($mysqli)
{
    tunnel_progress();
    $result = $mysqli->use_result();
    if ($result) {
        tunnel_result_set($mysqli, $result);
    } elseif ($mysqli->errno) {
        tunnel_error_element($mysqli->errno, $mysqli->error);
    } else {
        tunnel_out("<r v='" . TUNNEL_VERSION . "'>" . tunnel_status_elements($mysqli, $mysqli->affected_rows) . '</r>');
    }
}

// ---- The request ------------------------------------------------------------------------

if ($refusal !== null) tunnel_fail(TUNNEL_ERR_REFUSED, $refusal);
if (!extension_loaded('mysqli')) {
    tunnel_fail(TUNNEL_ERR_NO_MYSQLI, 'The PHP of the tunnel\'s web server has no mysqli module.');
}
mysqli_report(MYSQLI_REPORT_OFF);

$max_request = $settings['max_request_bytes'];
if (isset($_SERVER['CONTENT_LENGTH']) && intval($_SERVER['CONTENT_LENGTH']) > $max_request) {
    tunnel_status(413, 'The request is larger than max_request_bytes of the tunnel script\'s settings.');
}
// Read in parts: asked for the largest allowed body at once, PHP would reserve that much.
$request = '';
$input = fopen('php://input', 'rb');
while ($input !== false && strlen($request) <= $max_request && ($part = fread($input, TUNNEL_CHUNK)) !== false && $part !== '') {
    $request .= $part;
}
if ($request === '') {
    // kro's empty probe that lets a server or proxy ask for credentials first.
    exit;
}
if (strlen($request) > $max_request) {
    tunnel_status(413, 'The request is larger than max_request_bytes of the tunnel script\'s settings.');
}

// The request exactly as kro builds it, nothing around it: the connection values in their
// order, then the statement text. Values are escaped or Base64, so they hold no '<'.
$connect_pattern = '/\A<xml><connect_info>'
    . '(?:<host e=\'([01])\'>([^<]*+)<\/host>)?(?:<user e=\'([01])\'>([^<]*+)<\/user>)?'
    . '(?:<password e=\'([01])\'>([^<]*+)<\/password>)?(?:<db e=\'([01])\'>([^<]*+)<\/db>)?'
    . '(?:<charset e=\'([01])\'>([^<]*+)<\/charset>)?<port e=\'([01])\'>([^<]*+)<\/port>'
    . '<\/connect_info><query_info><query b=\'[01]\' e=\'([01])\'>/';
$tail_pattern = '/<\/query><querylen>([0-9]{1,12})<\/querylen><\/query_info><\/xml>\z/';
$malformed = 'The tunnel request arrived incomplete or malformed.';
if (!preg_match($connect_pattern, substr($request, 0, 65536), $c)
    || !preg_match($tail_pattern, substr($request, -80), $tail)) {
    tunnel_fail(TUNNEL_ERR_MALFORMED, $malformed);
}
$query_start = strlen($c[0]);
$query_end = strlen($request) - strlen($tail[0]);
$connect = array();
foreach (array('host' => 1, 'user' => 3, 'password' => 5, 'db' => 7, 'charset' => 9, 'port' => 11) as $name => $at) {
    $connect[$name] = isset($c[$at]) && $c[$at] !== '' ? tunnel_decode($c[$at], $c[$at + 1]) : '';
    if ($connect[$name] === false) tunnel_fail(TUNNEL_ERR_MALFORMED, $malformed);
}
$query_encoded = $c[13];
$query_length = intval($tail[1]);

$host = $connect['host'] === '' ? 'localhost' : strtolower($connect['host']);
if (strlen($host) > 2 && $host[0] === '[' && substr($host, -1) === ']') $host = substr($host, 1, -1);
$port = trim($connect['port']);
$port = ($port === '' || $port === '0') ? 3306 : (preg_match('/\A[0-9]{1,5}\z/', $port) ? intval($port) : 0);
if ($port < 1 || $port > 65535 || !in_array($host . ' ' . $port, $settings['allow'], true)) {
    tunnel_fail(TUNNEL_ERR_NOT_ALLOWED, "Host '" . $host . "' port " . $connect['port']
        . " is not allowed by the tunnel script's settings (allow in tunnel-config.php).");
}

$mysqli = mysqli_init();
$mysqli->options(MYSQLI_OPT_LOCAL_INFILE, false);
$mysqli->options(MYSQLI_OPT_CONNECT_TIMEOUT, min($settings['read_timeout'], 30));
// mysqlnd would wait a day for a server that never answers.
$mysqli->options(MYSQLI_OPT_READ_TIMEOUT, $settings['read_timeout']);
$connected = $mysqli->real_connect(strpos($host, ':') !== false ? '[' . $host . ']' : $host, $connect['user'],
    $connect['password'], $connect['db'] === '' ? null : $connect['db'], $port);
if (!$connected) tunnel_fail(mysqli_connect_errno(), mysqli_connect_error());
// mysqli applies php.ini's allow_local_infile while it connects; it is turned off after.
if (!$mysqli->options(MYSQLI_OPT_LOCAL_INFILE, false)) {
    tunnel_fail(TUNNEL_ERR_REFUSED, 'The tunnel script could not turn LOAD DATA LOCAL off.');
}

// "utf8" asks for full UTF-8: four-byte characters must survive.
$charset = $connect['charset'];
$wanted = ($charset === '' || strtolower($charset) === 'utf8') ? 'utf8mb4' : $charset;
if (!$mysqli->set_charset($wanted) && $wanted === 'utf8mb4') $mysqli->set_charset('utf8');
$tunnel_encoding = tunnel_xml_encoding((string) $mysqli->character_set_name());

$query = substr($request, $query_start, $query_end - $query_start);
unset($request);
$query = strpos($query, '<') === false ? tunnel_decode($query_encoded, $query) : false;
if ($query === false || strlen($query) !== $query_length) tunnel_fail(TUNNEL_ERR_MALFORMED, $malformed);

tunnel_open_answer();
// The server splits the text into statements itself, so delimiters inside strings,
// comments and routine bodies are never mistaken for statement ends.
if (!$mysqli->multi_query($query)) {
    tunnel_error_element($mysqli->errno, $mysqli->error);
} else {
    unset($query);
    for (;;) {
        tunnel_statement_result($mysqli);
        if (!$mysqli->more_results()) break;
        if (!$mysqli->next_result()) {
            tunnel_error_element($mysqli->errno, $mysqli->error);
            break;
        }
    }
}
tunnel_finish($mysqli);
