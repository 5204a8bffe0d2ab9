<?php
// The profile view as a PHP page, for the benchmark's php-fpm row: the same
// three files read as the program reads them (config.txt, the session
// settings, the member record), the same page answered. compare.sh writes
// the config.txt path in place of CONFIG_TXT and appends the page after
// this code; the page's @key@ marks take the record's values as stored.

// The value of the first name=value line of text; names ignore letter case.
function setting(string $text, string $name): string {
  foreach (preg_split("/\r\n|\r|\n/", $text) as $line) {
    $eq = strpos($line, '=');
    if ($eq !== false && strcasecmp(substr($line, 0, $eq), $name) === 0) return substr($line, $eq + 1);
  }
  return '';
}

// A file name from the query: nothing that could name a file elsewhere.
function name(string $key): string {
  $value = $_GET[$key] ?? '';
  if (!is_string($value) || $value === '' || preg_match('#[/\\\\\0]|^\.\.?$#', $value)) exit;
  return $value;
}

$id = name('showuser');
$config = file_get_contents('CONFIG_TXT');
$session = file_get_contents(setting($config, 'sessiondb') . '/' . name('session') . '.txt');
$record = file_get_contents(setting($session, 'membersdb') . '/' . $id . '.txt');
$marks = ['@id@' => $id];
foreach (['realname', 'country', 'comment', 'urlname1', 'url1', 'urlname2', 'url2', 'urlname3', 'url3'] as $key) {
  $marks["@$key@"] = setting($record, $key);
}
header('Content-Type: text/html');
ob_start(fn(string $page): string => strtr($page, $marks));
?>
