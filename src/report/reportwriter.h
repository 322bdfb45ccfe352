#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class VaultStore;

// The account report: every account with its username and password in
// plain text, as an HTML page for the browser to print.

// The report's file, in the application folder.
inline const QString ReportFileName = QStringLiteral("report.htm");

// The text with &, <, >, " and ' written as entities; each line break (CR LF,
// LF or CR) stays as it is, with "<br>" before it.
QString htmlEscape(const QString& text);

// The report for the accounts of `vault`, in list order, handed to `sink`
// piece by piece as it is written; each piece is zeroed once the sink has
// it. Raises the cipher's error for a field that does not decipher.
using ReportSink = std::function<void(QByteArrayView)>;
void writeReportTo(VaultStore& vault, const ReportSink& sink);
// The whole report at once (tests).
QByteArray reportContent(VaultStore& vault);

// Writes the report to `path`, replacing an earlier one. The file is the
// owner's alone from its first byte; on a failure the earlier report stays
// as it was and the error is raised. A program that ends in the middle
// leaves a scratch file beside it, which removeReportScratch finds.
void writeReport(VaultStore& vault, const QString& path);
// Removes what an interrupted report left in the application folder.
void removeReportScratch(const QString& appFolder);

// The address handed to the browser; it names exactly that file whatever the
// folder is called.
QString reportAddress(const QString& appFolder);
