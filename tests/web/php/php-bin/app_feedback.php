<?php
// Records what PHP itself made of the posted form, then answers like the
// real feedback script. FEEDBACK_RECORD_DIR names the folder for the record;
// a reply.txt there replaces the normal answer.
$dir = getenv('FEEDBACK_RECORD_DIR');
$files = [];
foreach ($_FILES as $field => $f) {
    $files[] = [
        'field' => $field,
        'name' => $f['name'],
        'full_path' => $f['full_path'] ?? '',
        'type' => $f['type'],
        'size' => $f['size'],
        'error' => $f['error'],
        'sha256' => $f['error'] === UPLOAD_ERR_OK ? hash_file('sha256', $f['tmp_name']) : '',
    ];
}
$record = [
    'method' => $_SERVER['REQUEST_METHOD'],
    'content_type' => $_SERVER['CONTENT_TYPE'] ?? '',
    'accept' => $_SERVER['HTTP_ACCEPT'] ?? '',
    'post_keys' => array_keys($_POST),
    'post' => (object) $_POST,
    'files' => $files,
];
file_put_contents("$dir/record.json.tmp", json_encode($record));
rename("$dir/record.json.tmp", "$dir/record.json");
$reply = "$dir/reply.txt";
echo is_file($reply) ? file_get_contents($reply) : "<html><body>Script Completed</body></html>\n";
