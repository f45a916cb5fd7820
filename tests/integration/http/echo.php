<?php
// Answers any tunnel request with one row that shows what arrived: the request path,
// the headers kro sets and the body, so tests can check the request byte for byte.
$body = file_get_contents('php://input');
if ($body === '') exit;  // the empty probe
$header = function ($name) { return isset($_SERVER[$name]) ? $_SERVER[$name] : ''; };
$values = array(
    'uri' => $_SERVER['REQUEST_URI'],
    'method' => $_SERVER['REQUEST_METHOD'],
    'content_type' => $header('CONTENT_TYPE'),
    'user_agent' => $header('HTTP_USER_AGENT'),
    'agent_header' => $header('HTTP_HTTP_USER_AGENT'),
    'base64_header' => $header('HTTP_BASE64'),
    'body' => $body,
);
header('Content-Type: text/xml');
echo "<x><r v='8.05'><e_i/><a_r>1</a_r><f_i c='" . count($values) . "'>";
foreach ($values as $name => $value) echo "<f><n>$name</n><t>echo</t><m>0</m><d></d><ty>BLOB</ty></f>";
echo "</f_i><r_i c='1'><r>";
foreach ($values as $value) {
    echo "<c l='" . strlen($value) . "'>" . ($value === '' ? '<![CDATA[]]>' : base64_encode($value)) . '</c>';
}
echo '</r></r_i></r></x>';
