<?php
// A tunnel page that never finishes some answers: 12 KB every 10 ms for as long as the
// client reads. ?flood=version floods the version request, ?flood=other every other
// request, ?flood=all every request; the rest get a one-row answer ('10.11.6').
$body = file_get_contents('php://input');
if ($body === '') exit;  // the empty probe
$is_version = strpos($body, 'select version()') !== false;
$flood = isset($_GET['flood']) ? $_GET['flood'] : 'all';
header('Content-Type: text/xml');
if ($flood === 'all' || ($flood === 'version') === $is_version) {
    echo "<x><r v='8.05'><e_i/><a_r>1</a_r><f_i c='1'><f><n>v</n><t></t><m>0</m><d></d><ty>VARCHAR</ty></f></f_i><r_i c='1'><r><c l='1'>";
    $piece = str_repeat('QUFB', 3072);
    for (;;) {
        echo $piece;
        flush();
        usleep(10000);
    }
}
echo "<x><r v='8.05'><e_i/><a_r>1</a_r><f_i c='1'><f><n>v</n><t></t><m>0</m><d></d><ty>VARCHAR</ty></f></f_i>"
    . "<r_i c='1'><r><c l='7'>" . base64_encode('10.11.6') . '</c></r></r_i></r></x>';
