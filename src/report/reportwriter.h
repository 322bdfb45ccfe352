#pragma once

#include <QByteArray>
#include <QString>

class VaultStore;

// The account report: every account with its username and password in
// plain text, as an HTML page for the browser to print.

// The text with &, <, >, " and ' written as entities; line breaks stay.
QString HtmlEscape(const QString& text);

// The bytes of the report for the accounts of `vault`, in list order.
// Raises the cipher's error for a field that does not decipher.
QByteArray ReportContent(VaultStore& vault);

// Writes the report to `path`, replacing an earlier one. The file is the
// owner's alone from its first byte; on a failure the earlier report stays
// as it was and the error is raised.
void WriteReport(VaultStore& vault, const QString& path);

// The address handed to the browser; it names exactly that file whatever the
// folder is called.
QString ReportAddress(const QString& appFolder);
