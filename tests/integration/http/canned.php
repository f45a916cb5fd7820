<?php
// Gives the answer the test asks for: ?status=<code>, ?body=<Base64 of the body>,
// ?stall=<seconds> (sends the start of an answer, then waits before the rest).
if (isset($_GET['status'])) http_response_code(intval($_GET['status']));
if (file_get_contents('php://input') === '' && !isset($_GET['status'])) exit;  // the empty probe
if (isset($_GET['stall'])) {
    echo "<x><r v='8.05'>";
    flush();
    sleep(intval($_GET['stall']));
    echo '<e_i/></r></x>';
    exit;
}
if (isset($_GET['body'])) echo base64_decode($_GET['body']);
