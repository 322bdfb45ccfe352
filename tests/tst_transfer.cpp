// Import from the CSV exports of other programs, and export for leaving.
#include "coresupport.h"
#include "tool.h"

#include "transfer/accountexport.h"
#include "transfer/accountimport.h"
#include "transfer/csvfile.h"
#include "transfer/transfer.h"
#include "vault/apperror.h"
#include "vault/stringcipher.h"

#include <QProcess>
#include <sys/stat.h>

using namespace Transfer;

namespace {

QStringList skipLines(const AccountImport& import)
{
    QStringList lines;
    for (const ImportSkip& skip : import.skipped())
        lines << (skip.lastLine > 0 ? QStringLiteral("%1-%2: ").arg(skip.line).arg(skip.lastLine)
                                    : QStringLiteral("%1: ").arg(skip.line))
                + skip.reason;
    return lines;
}

// The description of the input error `action` raises; empty when none.
QString inputErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const AppError& error) {
        return QStringLiteral("%1 %2").arg(error.code()).arg(error.description());
    }
    return {};
}

QByteArray csvRow(const QStringList& fields)
{
    QByteArray out;
    appendCsvRecord(out, fields);
    return out;
}

const QByteArray PlainHeader = "name,username,password,url,hint,notes\n";

}  // namespace

class TestTransfer : public QObject {
    Q_OBJECT
private slots:
    void readsEveryQuotingQuirk_data();
    void readsEveryQuotingQuirk();
    void badInputNamesTheLineAndStoresNothing_data();
    void badInputNamesTheLineAndStoresNothing();
    void aWideHeaderIsToldShort();
    void readsEveryManagersExport_data();
    void readsEveryManagersExport();
    void mapsEachFormat_data();
    void mapsEachFormat();
    void obeysTheAddDialogsRules_data();
    void obeysTheAddDialogsRules();
    void secondRunStoresNothingTwice();
    void dryRunWritesNothing();
    void failureInTheMiddleStoresNothing();
    void exportThenImportGivesBackEveryAccount_data();
    void exportThenImportGivesBackEveryAccount();
    void exportFileIsPrivateAndNeverReplaced();
    void masterPasswordIsComparedExactly_data();
    void masterPasswordIsComparedExactly();
    void toolsRunAsProcesses();
    void printedTextCannotDisguiseItself_data();
    void printedTextCannotDisguiseItself();
};

void TestTransfer::readsEveryQuotingQuirk_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QList<QStringList>>("records");
    QTest::addColumn<QList<qsizetype>>("lines");

    const QList<QStringList> simple{{"a", "b"}, {"1", "2"}};
    QTest::newRow("LF") << QByteArray("a,b\n1,2\n") << simple << QList<qsizetype>{1, 2};
    QTest::newRow("BOM and CRLF") << QByteArray("\xEF\xBB\xBF"
                                                "a,b\r\n1,2\r\n")
                                  << simple << QList<qsizetype>{1, 2};
    QTest::newRow("lone CR") << QByteArray("a,b\r1,2") << simple << QList<qsizetype>{1, 2};
    QTest::newRow("commas and quotes") << QByteArray("a,b\n\"x,y\",\"say \"\"hi\"\"\"\n")
                                       << QList<QStringList>{{"a", "b"}, {"x,y", "say \"hi\""}}
                                       << QList<qsizetype>{1, 2};
    QTest::newRow("line breaks in fields")
        << QByteArray("a,b\r\n\"one\r\ntwo\",x\r\n\"3\n\n4\",y\n")
        << QList<QStringList>{{"a", "b"}, {"one\r\ntwo", "x"}, {"3\n\n4", "y"}} << QList<qsizetype>{1, 2, 4};
    QTest::newRow("blanks kept, blank lines left out")
        << QByteArray("a,b,c\n  x , ,\n\n\"\",q,")
        << QList<QStringList>{{"a", "b", "c"}, {"  x ", " ", ""}, {"", "q", ""}} << QList<qsizetype>{1, 2, 4};
    QTest::newRow("a quote inside an unquoted field is a character")
        << QByteArray("a,b\n5\" disk,say \"hi\"\n") << QList<QStringList>{{"a", "b"}, {"5\" disk", "say \"hi\""}}
        << QList<qsizetype>{1, 2};
    QTest::newRow("every script") << QString::fromUtf8("ä,Ω,Ж\n銀行,مرحبا,😀\n").toUtf8()
                                  << QList<QStringList>{{"ä", "Ω", "Ж"}, {"銀行", "مرحبا", "😀"}}
                                  << QList<qsizetype>{1, 2};
}

void TestTransfer::readsEveryQuotingQuirk()
{
    QFETCH(QByteArray, csv);
    QFETCH(QList<QStringList>, records);
    QFETCH(QList<qsizetype>, lines);
    QList<QStringList> gotRecords;
    QList<qsizetype> gotLines;
    CsvReader reader(csv);
    for (CsvRecord record; reader.next(record);) {
        gotRecords << record.fields();
        gotLines << record.line;
    }
    QCOMPARE(gotRecords, records);
    QCOMPARE(gotLines, lines);
}

void TestTransfer::badInputNamesTheLineAndStoresNothing_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("message");

    const QByteArray header = "title,password\n";
    QTest::newRow("empty") << QByteArray() << "the file is empty";
    QTest::newRow("only a BOM and blank lines") << QByteArray("\xEF\xBB\xBF\r\n\n") << "the file is empty";
    QTest::newRow("binary") << header + QByteArray("ab\0cd,x\n", 8) << "line 2: a NUL byte";
    QTest::newRow("Latin-1 text") << header + "ok,x\nM\xFCller,x\n"
                                  << "line 3: invalid UTF-8 (byte 0xfc at byte 2";
    QTest::newRow("overlong form") << header + "\xC0\xAF,x\n"
                                   << "line 2: invalid UTF-8";
    QTest::newRow("encoded surrogate") << header + "a,\xED\xA0\x80\n"
                                       << "line 2: invalid UTF-8";
    QTest::newRow("cut-off sequence") << header + "a,\xE2\x82\n"
                                      << "line 2: invalid UTF-8";
    QTest::newRow("overlong three bytes") << header + "a,\xE0\x80\xAF\n"
                                          << "line 2: invalid UTF-8 (byte 0xe0 at byte 3";
    QTest::newRow("overlong four bytes") << header + "a,\xF0\x80\x80\xAF\n"
                                         << "line 2: invalid UTF-8 (byte 0xf0 at byte 3";
    QTest::newRow("past U+10FFFF") << header + "a,\xF4\x90\x80\x80\n"
                                   << "line 2: invalid UTF-8 (byte 0xf4 at byte 3";
    QTest::newRow("text after a closing quote") << header + "\"a\"b,x\n"
                                                << "line 2: broken quoting";
    QTest::newRow("quote never closed") << header + "a,b\n\"c,d\n\ne,f\n"
                                        << "line 3: a quoted field is never closed";
    QTest::newRow("too few fields") << header + "c\n"
                                    << "line 2: 1 field(s) where the header row has 2";
    QTest::newRow("too many fields") << header + "a,\"b\n\",c\n"
                                     << "line 2: 3 field(s) where the header row has 2";
    QTest::newRow("no row fits the layout")
        << QByteArray("url,username,password,extra,name,grouping,fav\na,b,c,two\nlines,N,,0\n")
        << "line 2: 4 field(s) where the header row has 7, and no row of the file has the fields of its layout";
    QTest::newRow("header matches nothing") << QByteArray("foo,bar\n1,2\n") << "line 1: the header row matches no";
    QTest::newRow("no name or URL column") << QByteArray("username,password\nu,p\n") << "no name or URL column";
    QTest::newRow("prose, not CSV") << QByteArray("Dear friend, hello.\nThis is a letter.\n")
                                    << "line 2: 1 field(s) where the header row has 2";
}

void TestTransfer::badInputNamesTheLineAndStoresNothing()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, message);
    // Raised while reading: no import exists that could store anything.
    const QString error = inputErrorOf([&] { AccountImport import(csv); });
    QVERIFY2(error.startsWith(QStringLiteral("%1 ").arg(InputFormatError)), qPrintable(error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

void TestTransfer::aWideHeaderIsToldShort()
{
    QByteArray csv = "title,password";
    for (int i = 0; i < 5000; ++i)
        csv += ",c" + QByteArray::number(i);
    AccountImport import(csv + "\na,b" + QByteArray(",").repeated(5000) + "\n");
    QCOMPARE(import.columnsText(),
             QStringLiteral("name from \"title\", password from \"password\"; not used: \"c0\", "
                            "\"c1\", \"c2\", \"c3\", \"c4\", \"c5\", \"c6\", \"c7\", \"c8\", "
                            "\"c9\", and 4990 more"));
}

void TestTransfer::readsEveryManagersExport_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("option");  // --format, when given
    QTest::addColumn<QString>("format");
    QTest::addColumn<QList<AccountFields>>("stored");  // in list order
    QTest::addColumn<QStringList>("skipped");
    QTest::addColumn<QStringList>("remarks");  // changed rows, TOTP secrets, what is not a login

    // Each written here from the layout the program publishes, with its quirks.
    QTest::newRow("LastPass: a secure note, entities, another scheme, unquoted notes")
        << QByteArray("url,username,password,totp,extra,name,grouping,fav\n"
                      "https://shop.example/in,ann,s3cr&amp;t,JBSWY3DP,Card on file,Shop,Home,0\n"
                      "http://sn,,,,\"NoteType:Server\nHost:x\",Server,Work,0\n"
                      "ssh://host.example:2222,root,pw,,,,,0\n"
                      "https://b.example,bob,pw,,two\nlines,B,,0\n")
        << ""
        << "LastPass"
        << QList<AccountFields>{{"host.example", "root", "pw", "http://", "", "Address: ssh://host.example:2222"},
                                {"Shop", "ann", "s3cr&amp;t", "https://shop.example/in", "", "Card on file"}}
        << QStringList{"3: not a login (a secure note)", "6-7: 5 field(s) where the header row has 8"}
        << QStringList{"2: HTML entities such as \"&amp;\" in the password were stored as written", "TOTP: 1",
                       "not logins: 1 secure note"};
    QTest::newRow("LastPass: a quote in an unquoted multi-line note")
        << QByteArray("url,username,password,totp,extra,name,grouping,fav\n"
                      "https://mail.example/login,ann@example.org,Tr0ub4dor,,,Mail,Email,0\n"
                      "https://bank.example/,ann,pa55word,,PIN is \"4411\"\ncall the branch first,Bank,Finance,0\n"
                      "https://shop.example/,ann,hunter2,,,Shop,,0\n")
        << ""
        << "LastPass"
        << QList<AccountFields>{{"Mail", "ann@example.org", "Tr0ub4dor", "https://mail.example/login", "", ""},
                                {"Shop", "ann", "hunter2", "https://shop.example/", "", ""}}
        << QStringList{"3-4: 5 field(s) where the header row has 8"} << QStringList();
    QTest::newRow("1Password 8") << QByteArray("Title,Url,Username,Password,OTPAuth,Favorite,Archived,Tags,Notes\n"
                                               "Mail,https://mail.example,me,pw,otpauth://totp/m,false,false,,Hi\n")
                                 << ""
                                 << "1Password 8"
                                 << QList<AccountFields>{{"Mail", "me", "pw", "https://mail.example", "", "Hi"}}
                                 << QStringList() << QStringList{"TOTP: 1"};
    QTest::newRow("1Password 7: properties in any order, several addresses")
        << QByteArray("notesPlain,password,title,urls,username,uuid\n"
                      "note,pw,Forum,\"https://forum.example\nhttps://m.forum.example\",eve,x1\n")
        << ""
        << "1Password 7"
        << QList<AccountFields>{{"Forum", "eve", "pw", "https://forum.example", "",
                                 "Address: https://m.forum.example\nnote"}}
        << QStringList() << QStringList();
    QTest::newRow("Apple Passwords") << QByteArray("Title,URL,Username,Password,Notes,OTPAuth\n"
                                                   "Bank,https://bank.example,al,pw,,\n")
                                     << ""
                                     << "Apple Passwords or Safari"
                                     << QList<AccountFields>{{"Bank", "al", "pw", "https://bank.example", "", ""}}
                                     << QStringList() << QStringList();
    QTest::newRow("Safari, older") << QByteArray("Title,Url,Username,Password,OTPAuth\nBank,bank.example,al,pw,\n")
                                   << ""
                                   << "Apple Passwords or Safari"
                                   << QList<AccountFields>{{"Bank", "al", "pw", "http://bank.example", "", ""}}
                                   << QStringList() << QStringList();
    QTest::newRow("Dashlane credentials")
        << QByteArray("username,username2,username3,title,password,note,url,category,otpSecret\n"
                      "dan,,,Bank,pw,,bank.example,Finance,ABC\n")
        << ""
        << "Dashlane (credentials.csv)" << QList<AccountFields>{{"Bank", "dan", "pw", "http://bank.example", "", ""}}
        << QStringList() << QStringList{"TOTP: 1"};
    QTest::newRow("Dashlane secure notes")
        << QByteArray("title,note\nWifi,code 1234\n") << ""
        << "Dashlane (securenotes.csv)" << QList<AccountFields>() << QStringList{"2: not a login (a secure note)"}
        << QStringList{"not logins: 1 secure note"};
    QTest::newRow("NordPass: more addresses, a folder, a card")
        << QByteArray("name,url,additional_urls,username,password,note,cardholdername,cardnumber,cvc,pin,expirydate,"
                      "zipcode,folder,full_name,phone_number,email,address1,address2,city,country,state,type,"
                      "custom_fields\n"
                      "Git,https://git.example,\"[\"\"https://b.example\"\",\"\"https://c.example\"\"]\",g,pw,,,,,,,,"
                      "Work,,,,,,,,,password,\n"
                      "Work,,,,,,,,,,,,,,,,,,,,,folder,\n"
                      "Visa,,,,,,Al,4111,123,,,,,,,,,,,,,credit_card,\n")
        << ""
        << "NordPass"
        << QList<AccountFields>{{"Git", "g", "pw", "https://git.example", "",
                                 "Addresses: https://b.example, https://c.example"}}
        << QStringList{"3: not a login (type \"folder\")", "4: not a login (type \"credit_card\")"}
        << QStringList{"not logins: 1 card, 1 folder"};
    QTest::newRow("Proton Pass: email as username, an address list, an alias")
        << QByteArray("type,name,url,email,username,password,note,totp,createTime,modifyTime,vault\n"
                      "login,Shop,\"https://a.example, https://b.example\",p@example.org,,pw,,,1,2,Personal\n"
                      "alias,Alias,,x@alias.example,,,,,1,2,Personal\n")
        << ""
        << "Proton Pass"
        << QList<AccountFields>{{"Shop", "p@example.org", "pw", "https://a.example", "", "Address: https://b.example"}}
        << QStringList{"3: not a login (type \"alias\")"} << QStringList{"not logins: 1 alias"};
    QTest::newRow("Proton Pass, older") << QByteArray(
        "type,name,url,username,password,note,totp,createTime,modifyTime\n"
        "login,Shop,https://a.example,u,pw,,otpauth://x,1,2\n")
                                        << ""
                                        << "Proton Pass"
                                        << QList<AccountFields>{{"Shop", "u", "pw", "https://a.example", "", ""}}
                                        << QStringList() << QStringList{"TOTP: 1"};
    QTest::newRow("Enpass: label and value pairs")
        << QByteArray("\"Title\",\"Field\",\"Value\",\"Field\",\"Value\",.........,\"Note\"\n"
                      "\"Git\",\"E-mail\",\"o@example.org\",\"*Password\",\"pw\",\"Website\",\"https://git.example\","
                      "\"TOTP\",\"otpauth://x\",\"my note\"\n"
                      "\"Visa\",\"Cardholder\",\"Al\",\"Number\",\"4111\",\"\"\n"
                      "\"Memo\",\"text\"\n")
        << ""
        << "Enpass" << QList<AccountFields>{{"Git", "o@example.org", "pw", "https://git.example", "", "my note"}}
        << QStringList{"3: not a login (a card)", "4: not a login (a secure note)"}
        << QStringList{"TOTP: 1", "not logins: 1 secure note, 1 card"};
    QTest::newRow("RoboForm: rows past the header, apostrophes, a bookmark")
        << QByteArray("Name,Url,MatchUrl,Login,Pwd,Note,Folder,RfFieldsV2\n"
                      "'@home,https://h.example,https://h.example/in,''quote,'@pw,,/Work,f1,f2,f3\n"
                      "News,https://news.example,,,,,/,\n")
        << ""
        << "RoboForm" << QList<AccountFields>{{"@home", "'quote", "@pw", "https://h.example", "", ""}}
        << QStringList{"3: not a login (a bookmark)"} << QStringList{"not logins: 1 bookmark"};
    QTest::newRow("RoboForm: notes and bookmarks one field short")
        << QByteArray("Name,Url,MatchUrl,Login,Pwd,Note,Folder,RfFieldsV2\r\n"
                      "Mail,https://mail.example/,https://mail.example/,me@example.org,pw1,,/Email,\"User ID$,,,txt,"
                      "me@example.org\",\"Password$,,,pwd,pw1\"\r\n"
                      "note - 2024-05-02,,,,,Locker code 4411,/\r\n"
                      "News,https://news.example/,https://news.example/,,,,/Bookmarks\r\n"
                      "Shop,https://shop.example/,https://shop.example/,me,pw2,,/,\"User ID$,,,txt,me\",\"Password$,,,"
                      "pwd,pw2\"\r\n")
        << ""
        << "RoboForm"
        << QList<AccountFields>{{"Mail", "me@example.org", "pw1", "https://mail.example/", "", ""},
                                {"Shop", "me", "pw2", "https://shop.example/", "", ""}}
        << QStringList{"3: not a login (a secure note)", "4: not a login (a bookmark)"}
        << QStringList{"not logins: 1 secure note, 1 bookmark"};
    QTest::newRow("Bitwarden: several URIs in one field, CR CR LF line ends")
        << QByteArray("folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,login_password,"
                      "login_totp\r\r\n"
                      ",,note,Memo,\"two\r\r\nlines\",,0,,,,\r\r\n"
                      "Work,0,login,Git,,,0,\"https://git.example/login,androidapp://com.git.app,"
                      "https://m.git.example/?a=1,2\",dev,pw,\r\r\n"
                      ",,card,Visa,,,0,,,,\r\r\n")
        << ""
        << "Bitwarden"
        << QList<AccountFields>{{"Git", "dev", "pw", "https://git.example/login", "",
                                 "Addresses: androidapp://com.git.app, https://m.git.example/?a=1,2"}}
        << QStringList{"2: not a login (type \"note\")", "5: not a login (type \"card\")"}
        << QStringList{"not logins: 1 secure note, 1 card"};
    QTest::newRow("KeePass CSV 1.x: backslash escapes")
        << QByteArray("\"Account\",\"Login Name\",\"Password\",\"Web Site\",\"Comments\"\n"
                      "\"Router\",\"admin\",\"p\\\"w\\\\x\",\"http://192.168.1.1\",\"one\ntwo \\\"3\\\"\"\n")
        << ""
        << "KeePass (KeePass CSV 1.x)"
        << QList<AccountFields>{{"Router", "admin", "p\"w\\x", "http://192.168.1.1", "", "one\ntwo \"3\""}}
        << QStringList() << QStringList();
    QTest::newRow("Keeper, known by its shape")
        << QByteArray("\"Personal\",\"Mail\",\"me\",\"pw\",\"https://mail.example\",\"n\",\"\",\"TFC:Keeper\","
                      "\"otpauth://x\"\n"
                      "\"\",\"Wifi\",\"\",\"\",\"\",\"code\",\"\"\n")
        << ""
        << "Keeper (no header row)" << QList<AccountFields>{{"Mail", "me", "pw", "https://mail.example", "", "n"}}
        << QStringList{"2: not a login (an item of another kind)"}
        << QStringList{"TOTP: 1", "not logins: 1 item of another kind"};
    QTest::newRow("Keeper, when told") << QByteArray("Home,My router,admin,pw,192.168.1.1 (lan),,\n") << "keeper"
                                       << "Keeper (no header row)"
                                       << QList<AccountFields>{{"My router", "admin", "pw", "http://192.168.1.1 (lan)",
                                                                "", ""}}
                                       << QStringList() << QStringList();
    QTest::newRow("Firefox's own sign-in")
        << QByteArray("url,username,password,httpRealm,formActionOrigin,guid,timeCreated,timeLastUsed,"
                      "timePasswordChanged\n"
                      "chrome://FirefoxAccounts,uid,key,Firefox Accounts credentials,,{1},1,2,3\n"
                      "https://a.example,u,p,,https://a.example,{2},1,2,3\n")
        << ""
        << "Firefox" << QList<AccountFields>{{"a.example", "u", "p", "https://a.example", "", ""}}
        << QStringList{"2: not a login (the browser's own sign-in)"}
        << QStringList{"not logins: 1 browser's own sign-in"};
    QTest::newRow("Chrome: an Android app, long name and notes cut")
        << "name,url,username,password,note\n,android://AbC1==@com.example.app/,u,p,\n"
            + csvRow({QString(254, 'n') + Emoji, "https://x.example", "u", "p", QString(2100, 'o')})
        << ""
        << "Chrome, Chromium or Edge"
        << QList<AccountFields>{{"com.example.app", "u", "p", "http://", "",
                                 "Address: android://AbC1==@com.example.app/"},
                                {QString(254, 'n'), "u", "p", "https://x.example", "", QString(2000, 'o')}}
        << QStringList()
        << QStringList{"3: the name was shortened to 255 characters; 2 were left out",
                       "3: the notes were shortened to 2000 characters; 100 were left out"};
    QTest::newRow("re-saved with semicolons")
        << QByteArray("\xEF\xBB\xBFName;URL;Username;Password\r\nMail;m.example;me;\"p;w\"\r\n") << ""
        << "Chrome, Chromium or Edge" << QList<AccountFields>{{"Mail", "me", "p;w", "http://m.example", "", ""}}
        << QStringList() << QStringList();
    QTest::newRow("semicolons, commas in a quoted header cell")
        << QByteArray("Name;URL;Username;Password;\"Tags: a, b, c, d, e\"\r\nMail;m.example;me;pw;\r\n") << ""
        << "other (columns matched by their names)"
        << QList<AccountFields>{{"Mail", "me", "pw", "http://m.example", "", ""}} << QStringList() << QStringList();
    QTest::newRow("re-saved with tabs, told the layout")
        << QByteArray("url\tusername\tpassword\textra\tname\nhttps://a.example\tu\tp\t\tA\n") << "lastpass"
        << "LastPass" << QList<AccountFields>{{"A", "u", "p", "https://a.example", "", ""}} << QStringList()
        << QStringList();
}

void TestTransfer::readsEveryManagersExport()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, option);
    QFETCH(QString, format);
    QFETCH(QList<AccountFields>, stored);
    QFETCH(QStringList, skipped);
    QFETCH(QStringList, remarks);
    CoreSandbox sandbox;
    auto vault = sandbox.openVault();
    AccountImport import(csv, {}, option.isEmpty() ? std::nullopt : formatNamed(option));
    QCOMPARE(formatName(import.columns().format), format);
    import.run(*vault, false);
    QCOMPARE(plainAccounts(*vault), stored);
    QCOMPARE(skipLines(import), skipped);
    QStringList got;
    import.forEachRemark([&](const ImportSkip& remark) { got << QStringLiteral("%1: %2").arg(remark.line).arg(remark.reason);
});
if (import.totpLeftBehind() > 0)
    got << QStringLiteral("TOTP: %1").arg(import.totpLeftBehind());
if (!import.notLoginsText().isEmpty())
    got << QStringLiteral("not logins: ") + import.notLoginsText();
QCOMPARE(got, remarks);
}

void TestTransfer::mapsEachFormat_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<int>("format");
    QTest::addColumn<QList<AccountFields>>("stored");  // in list order
    QTest::addColumn<QStringList>("skipped");

    QTest::newRow("Firefox: the name is the URL's host")
        << QByteArray("\"url\",\"username\",\"password\",\"httpRealm\",\"formActionOrigin\",\"guid\",\"timeCreated\","
                      "\"timeLastUsed\",\"timePasswordChanged\"\r\n"
                      "\"https://www.example.com:8443\",\"alice\",\"p,w\",,\"https://www.example.com\",\"{1}\","
                      "\"1\",\"2\",\"3\"\r\n")
        << int(ImportFormat::Firefox)
        << QList<AccountFields>{{"www.example.com", "alice", "p,w", "https://www.example.com:8443", "", ""}}
        << QStringList();
    QTest::newRow("Chrome without a note")
        << QByteArray("name,url,username,password\nexample.com,https://example.com/,bob,\" spaced \"\n")
        << int(ImportFormat::Chrome)
        << QList<AccountFields>{{"example.com", "bob", " spaced ", "https://example.com/", "", ""}} << QStringList();
    QTest::newRow("Edge with a note holding a hint")
        << QByteArray(
               "name,url,username,password,note\r\nmail,mail.example,me,pw,\"Two\r\nlines\r\n\r\nHint: cat\"\r\n")
        << int(ImportFormat::Chrome)
        << QList<AccountFields>{{"mail", "me", "pw", "http://mail.example", "cat", "Two\nlines"}} << QStringList();
    QTest::newRow("Bitwarden: logins only")
        << QByteArray("folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,login_password,"
                      "login_totp\n"
                      "Work,1,login,Intranet,\"desk 4, room \"\"B\"\"\",,0,https://intra.example,carol,pw1,\n"
                      ",,note,Shopping list,milk,,0,,,,\n"
                      ",,card,Visa,,,0,,,,\n")
        << int(ImportFormat::Bitwarden)
        << QList<AccountFields>{{"Intranet", "carol", "pw1", "https://intra.example", "", "desk 4, room \"B\""}}
        << QStringList{"3: not a login (type \"note\")", "4: not a login (type \"card\")"};
    QTest::newRow("KeePassXC") << QByteArray(
        "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\","
        "\"Last Modified\",\"Created\"\n"
        "\"Root/Bank\",\"Bank\",\"dave\",\"x\"\"y\",\"https://bank.example\",\"a\nb\",\"\",\"0\",\"\",\"\"\n")
                               << int(ImportFormat::KeePassXC)
                               << QList<AccountFields>{{"Bank", "dave", "x\"y", "https://bank.example", "", "a\nb"}}
                               << QStringList();
    QTest::newRow("other: columns by their names")
        << QByteArray("Title,Login,Pass,Web Site,Comments,Password Hint,Folder\n"
                      "Forum,erin,pw,forum.example,hello,my hint,misc\n")
        << int(ImportFormat::Other)
        << QList<AccountFields>{{"Forum", "erin", "pw", "http://forum.example", "my hint", "hello"}} << QStringList();
    QTest::newRow("other: a URL and no name")
        << QByteArray("website,email,pwd\nhttps://shop.example/cart,f@example.com,pw\n,g@example.com,pw\n")
        << int(ImportFormat::Other)
        << QList<AccountFields>{{"shop.example", "f@example.com", "pw", "https://shop.example/cart", "", ""}}
        << QStringList{"3: no name: the URL is empty"};
}

void TestTransfer::mapsEachFormat()
{
    QFETCH(QByteArray, csv);
    QFETCH(int, format);
    QFETCH(QList<AccountFields>, stored);
    QFETCH(QStringList, skipped);
    CoreSandbox sandbox;
    auto vault = sandbox.openVault();
    AccountImport import(csv);
    QCOMPARE(int(import.columns().format), format);
    import.run(*vault, false);
    QCOMPARE(plainAccounts(*vault), stored);
    QCOMPARE(skipLines(import), skipped);
}

void TestTransfer::obeysTheAddDialogsRules_data()
{
    QTest::addColumn<QStringList>("fields");  // name, username, password, url, hint, notes
    QTest::addColumn<QString>("url");  // as stored; empty: the row is skipped
    QTest::addColumn<QString>("reason");

    const QString emoji25 = QString::fromUtf8("😀").repeated(25);
    const auto row = [](QString name, QString user, QString password, QString url, QString hint = {},
                        QString notes = {}) { return QStringList{name, user, password, url, hint, notes}; };
    QTest::newRow("at every limit") << row(QString(255, 'n'), QString(50, 'u'), emoji25, "http://" + QString(248, 'h'),
                                           QString(2000, 'h'), QString(2000, 'o'))
                                    << "http://" + QString(248, 'h') << "";
    QTest::newRow("blanks around the name kept") << row("  a  ", "", "", "https://x") << "https://x"
                                                 << "";
    QTest::newRow("a bare host") << row("a", "", "", "example.com") << "http://example.com"
                                 << "";
    QTest::newRow("no URL") << row("a", "", "", "") << "http://"
                            << "";
    QTest::newRow("a scheme in capitals") << row("a", "", "", "HTTP://X") << "http://HTTP://X"
                                          << "";
    // A blank name with an address takes its host, and a long name is cut (readsEveryManagersExport).
    QTest::newRow("spaces only as the name, no address") << row("   ", "u", "p", "") << ""
                                                         << "the name is blank";
    QTest::newRow("no name, no address") << row("", "u", "p", "") << ""
                                         << "the name is blank";
    QTest::newRow("line break in the name") << row("a\nb", "", "", "http://") << ""
                                            << "the name holds a line break";
    QTest::newRow("username too long") << row("a", QString(51, 'u'), "", "http://") << ""
                                       << "the username has 51 characters; at most 50 fit";
    QTest::newRow("password too long, never cut") << row("a", "", emoji25 + "x", "http://") << ""
                                                  << "the password has 51 characters; at most 50 fit";
    QTest::newRow("URL too long once prefixed")
        << row("a", "", "", QString(249, 'h')) << ""
        << "the URL with \"http://\" put in front has 256 characters; at most 255 fit";
    QTest::newRow("hint too long (notes are cut instead)")
        << row("a", "", "", "http://", QString(2001, 'h'), QString(2001, 'o')) << ""
        << "the hint has 2001 characters; at most 2000 fit";
    QTest::newRow("line break in a password") << row("a", "", "p\nw", "http://") << ""
                                              << "the password holds a line break";
}

void TestTransfer::obeysTheAddDialogsRules()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, url);
    QFETCH(QString, reason);
    CoreSandbox sandbox;
    auto vault = sandbox.openVault();
    AccountImport import(PlainHeader + csvRow({"first", "", "", "http://", "", ""}) + csvRow(fields));
    import.run(*vault, false);
    const QList<AccountFields> stored = plainAccounts(*vault);
    if (reason.isEmpty()) {
        QCOMPARE(stored.size(), 2);
        const AccountFields expected{fields[0], fields[1], fields[2], url, fields[4], fields[5]};
        QVERIFY(stored.contains(expected));
        QCOMPARE(skipLines(import), QStringList());
    } else {
        QCOMPARE(stored.size(), 1);
        QCOMPARE(skipLines(import), QStringList{"3: " + reason});
    }
}

void TestTransfer::secondRunStoresNothingTwice()
{
    CoreSandbox sandbox;
    auto vault = sandbox.openVault();
    const QByteArray csv = PlainHeader + csvRow({"A", "u", "p", "http://a", "", ""})
        + csvRow({"B", "u", "p", "b", "", ""}) + csvRow({"A", "u", "p", "http://a", "other hint", "other notes"})
        + csvRow({"A", "u", "P", "http://a", "", ""})
        // Values run together would be the same account.
        + csvRow({"ab", "c", "p", "http://x", "", ""}) + csvRow({"a", "bc", "p", "http://x", "", ""});
    AccountImport first(csv);
    first.run(*vault, false);
    QCOMPARE(first.storedCount(), 5);
    QCOMPARE(skipLines(first), QStringList{"4: the same account as line 2"});

    // A second connection, as a later run of the tool has.
    auto again = sandbox.openVault();
    AccountImport second(csv);
    second.run(*again, false);
    QCOMPARE(second.storedCount(), 0);
    QCOMPARE(second.duplicates(), 6);
    QCOMPARE(plainAccounts(*vault).size(), 5);
}

void TestTransfer::dryRunWritesNothing()
{
    CoreSandbox sandbox;
    sandbox.addAccount(QStringLiteral("A"), QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("http://a"));
    const QByteArray before = readFile(sandbox.vaultPath());
    {
        auto vault = sandbox.openVault();
        AccountImport import(PlainHeader + csvRow({"A", "u", "p", "http://a", "", ""})
                             + csvRow({"B", "", "", "", "", ""}));
        import.run(*vault, true);
        QStringList names;
        import.forEachStored([&](const ImportRow& row) { names << row.plain.account;
    });
    QCOMPARE(names, QStringList{"B"});
    QCOMPARE(skipLines(import), QStringList{"2: the same account is in the vault already"});
}
QCOMPARE(readFile(sandbox.vaultPath()), before);
}

void TestTransfer::failureInTheMiddleStoresNothing()
{
    CoreSandbox sandbox;
    sandbox.addAccount(QStringLiteral("kept"));
    QByteArray csv = PlainHeader;
    for (int i = 0; i < 1200; ++i)
        csv += csvRow({QStringLiteral("row %1").arg(i), "u", "p", "http://x", "", ""});
    AccountImport import(csv);
    auto vault = sandbox.openVault();
    // The store fails after 500 rows were written inside the transaction.
    const int code = errorCodeOf([&] {
        import.run(*vault, false, [](ImportStage stage, qsizetype, qsizetype) {
            if (stage == ImportStage::Storing)
                throw AppError(ErrorCode::DiskFull, QStringLiteral("disk is full"), ErrorSource::Store);
    });
});
QCOMPARE(code, ErrorCode::DiskFull);
QCOMPARE(plainAccounts(*sandbox.openVault()).size(), 1);

import.run(*vault, false);
QCOMPARE(plainAccounts(*sandbox.openVault()).size(), 1201);
}

void TestTransfer::exportThenImportGivesBackEveryAccount_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("KeePassXC") << int(ExportFormat::KeePassXC)
                               << QByteArray("\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\","
                                             "\"Icon\",\"Last Modified\",\"Created\"\r\n");
    QTest::newRow("Bitwarden") << int(ExportFormat::Bitwarden)
                               << QByteArray("folder,favorite,type,name,notes,fields,reprompt,login_uri,"
                                             "login_username,login_password,login_totp\r\n");
    QTest::newRow("Chrome") << int(ExportFormat::Chrome) << QByteArray("name,url,username,password,note\r\n");
}

void TestTransfer::exportThenImportGivesBackEveryAccount()
{
    QFETCH(int, format);
    QFETCH(QByteArray, header);
    const QList<AccountFields> accounts{
        {"Ærøskøbing Bank, \"main\"", "józef", "pässwörd,\"x\"", "https://bank.example/ä?q=1,2", "first pet",
         "line one\nline two"},
        {"Τράπεζα", "χρήστης", "κωδικός", "http://τράπεζα.example", "", "σημειώσεις"},
        {"Почта", "пользователь", "пароль", "http://почта.example", "кличка", ""},
        {"銀行口座", "ユーザー", "密码密码", "http://銀行.example", "提示", "備考"},
        {"البريد", "مستخدم", "كلمة السر", "http://x", "", "ملاحظة\n\nHint: not a hint"},
        {"🔐 Vault 😀", "user👍", QString::fromUtf8("😀").repeated(25), "http://", "Hint: 🎉", ""},
        {"  spaced  ", "", "", "http://", "a\n\nb", "Hint: looks like one"},
        {QString(255, 'n'), QString(50, 'u'), QString(50, 'p'), "http://" + QString(248, 'h'), QString(2000, 'h'),
         QString(2000, 'o')},
    };
    CoreSandbox from;
    for (const AccountFields& a : accounts)
        from.addAccount(a.account, a.username, a.password, a.url, a.hint, a.notes);
    auto source = from.openVault();
    qsizetype count = 0;
    const QByteArray csv = exportCsv(*source, ExportFormat(format), &count);
    QCOMPARE(count, accounts.size());
    QVERIFY(csv.startsWith(header));

    CoreSandbox to;
    auto target = to.openVault();
    AccountImport import(csv);
    import.run(*target, false);
    QCOMPARE(skipLines(import), QStringList());
    QCOMPARE(plainAccounts(*target), plainAccounts(*source));
}

void TestTransfer::exportFileIsPrivateAndNeverReplaced()
{
    CoreSandbox sandbox;
    const QString path = sandbox.workFolder() + QStringLiteral("/out.csv");
    const mode_t oldMask = ::umask(0);
    writeNewFile(path, "secret\r\n");
    ::umask(oldMask);
    QCOMPARE(modeOf(path), 0600u);
    QCOMPARE(readFile(path), QByteArray("secret\r\n"));

    QCOMPARE(errorCodeOf([&] { writeNewFile(path, "other"); }), ErrorCode::DatabaseFailure);
    QCOMPARE(readFile(path), QByteArray("secret\r\n"));
    // Nor through a link planted at the name.
    const QString link = sandbox.workFolder() + QStringLiteral("/link.csv");
    QVERIFY(QFile::link(path, link));
    QCOMPARE(errorCodeOf([&] { writeNewFile(link, "other"); }), ErrorCode::DatabaseFailure);
    QCOMPARE(readFile(path), QByteArray("secret\r\n"));
}

void TestTransfer::masterPasswordIsComparedExactly_data()
{
    QTest::addColumn<QString>("stored");  // empty: none stored yet
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("outcome");  // 1 opens, 0 does not, else the error raised
    const QString stored = QStringLiteral("Secret pässwort");
    QTest::newRow("exact") << stored << "Secret pässwort" << 1;
    QTest::newRow("letter case") << stored << "secret pässwort" << 0;
    QTest::newRow("trailing space") << stored << "Secret pässwort " << 0;
    QTest::newRow("empty") << stored << "" << 0;
    QTest::newRow("none stored yet") << QString() << "" << ErrorCode::CipherFailure;
}

void TestTransfer::masterPasswordIsComparedExactly()
{
    QFETCH(QString, stored);
    QFETCH(QString, entry);
    QFETCH(int, outcome);
    CoreSandbox sandbox;
    if (!stored.isEmpty())
        sandbox.initializeMaster(stored);
    int opened = -1;
    const int code = errorCodeOf([&] { opened = sandbox.openVault()->masterPasswordOpens(entry); });
    QCOMPARE(code ? code : opened, outcome);
}

void TestTransfer::toolsRunAsProcesses()
{
    CoreSandbox sandbox;
    sandbox.initializeMaster(MasterPassword);
    const QString vault = sandbox.vaultPath();
    const QString csv = sandbox.workFolder() + QStringLiteral("/in.csv");
    writeFile(csv,
              "folder,favorite,type,name,notes,fields,reprompt,login_uri,login_username,login_password,"
              "login_totp\r\n,,login,Mail,,,0,https://mail.example,me,pw,\r\n,,note,Memo,text,,0,,,,\r\n");
    QString out;
    QString err;
    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {csv, "--vault", vault, "--dry-run"}, {}, &out), 0);
    QVERIFY2(out.contains("line 2: Mail") && out.contains("1 would be stored, 1 skipped"), qPrintable(out));
    QVERIFY(plainAccounts(*sandbox.openVault()).isEmpty());

    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {csv, "--vault", vault, "--format", "nosuch"}, {}, &out), 2);
    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {csv, "--vault=" + vault}, {}, &out), 0);
    QVERIFY2(out.contains("Format: Bitwarden") && out.contains("Read 2 rows: 1 stored, 1 skipped.")
                 && out.contains("line 3: not a login (type \"note\")"),
             qPrintable(out));
    QCOMPARE(plainAccounts(*sandbox.openVault()).size(), 1);

    const QString lastPass = sandbox.workFolder() + QStringLiteral("/lastpass.csv");
    writeFile(lastPass,
              "url,username,password,totp,extra,name,grouping,fav\nhttps://a.example,u,p&amp;,SECRET,,A,,0\n"
              "http://sn,,,,memo,N,,0\nhttps://b.example,v,q,,two\nlines,B,,0\nhttps://c.example,w,r,,,C,,0\n");
    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {lastPass, "--vault", vault, "--dry-run"}, {}, &out), 0);
    QVERIFY2(out.contains("Read 4 rows: 2 would be stored, 2 skipped.\nNot logins, so not taken: 1 secure note.\n1 of "
                          "the accounts had a TOTP secret")
                 && out.contains("  lines 4-5: 5 field(s) where the header row has 8\n")
                 && out.contains("to check:\n  line 2: HTML entities"),
             qPrintable(out));
    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {lastPass, "--vault", vault, "--format", "dashlane-notes"}, {}, &out, &err),
             1);
    QVERIFY2(err.contains("line 1: the header row has none of the columns"), qPrintable(err));

    const QString bad = sandbox.workFolder() + QStringLiteral("/bad.csv");
    writeFile(bad, "title,password\nok,1\n\"broken,2\n");
    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {bad, "--vault", vault}, {}, &out, &err), 1);
    QVERIFY2(err.contains("line 3: a quoted field is never closed") && err.count('\n') == 1, qPrintable(err));
    const QString huge = sandbox.workFolder() + QStringLiteral("/huge.csv");
    writeFile(huge, {});
    QVERIFY(::truncate(QFile::encodeName(huge).constData(), 100 * 1000 * 1000) == 0);
    QCOMPARE(runTool(QUILLOCK_TEST_IMPORT, {huge, "--vault", vault}, {}, &out, &err), 1);
    QVERIFY2(err.contains("over 64 MB"), qPrintable(err));
    QCOMPARE(plainAccounts(*sandbox.openVault()).size(), 1);

    const QString exported = sandbox.workFolder() + QStringLiteral("/out.csv");
    const QByteArray answer = MasterPassword.toUtf8() + "\n";
    QCOMPARE(
        runTool(QUILLOCK_TEST_EXPORT, {exported, "--vault", vault}, MasterPassword.toUtf8() + " \n", nullptr, &err), 1);
    QVERIFY2(err.contains("wrong master password"), qPrintable(err));
    QVERIFY(!QFile::exists(exported));

    QCOMPARE(runTool(QUILLOCK_TEST_EXPORT, {exported, "--format", "chrome", "--vault", vault}, answer), 0);
    QCOMPARE(readFile(exported),
             QByteArray("name,url,username,password,note\r\n"
                        "\"Mail\",\"https://mail.example\",\"me\",\"pw\",\"\"\r\n"));
    QCOMPARE(modeOf(exported), 0600u);
    QCOMPARE(runTool(QUILLOCK_TEST_EXPORT, {exported, "--vault", vault}, answer, nullptr, &err), 1);
    QVERIFY2(err.contains("exists already"), qPrintable(err));
}

void TestTransfer::printedTextCannotDisguiseItself_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("printed");
    const QString x = QStringLiteral("\uFFFD");
    QTest::newRow("escape sequence") << "a\x1B[2Jb"
                                     << "a" + x + "[2Jb";
    QTest::newRow("right-to-left override") << "gpj\u202Eexe.doc"
                                            << "gpj" + x + "exe.doc";
    QTest::newRow("isolates and marks") << "\u2066a\u2069\u200E\u200F\u061C" << x + "a" + x + x + x + x;
    QTest::newRow("hidden ones: soft hyphen, zero width, BOM") << "a\u00AD\u200Bb\uFEFF"
                                                               << "a" + x + x + "b" + x;
    QTest::newRow("a tag outside the basic plane") << QString::fromUtf8("a\U000E0041") << "a" + x;
    QTest::newRow("line separator, lone surrogate") << "a\u2028b" + QString(QChar(0xD800)) << "a" + x + "b" + x;
    QTest::newRow("text of every script kept")
        << QString::fromUtf8("Ærø Ω Ж 銀行 مرحبا 😀") << QString::fromUtf8("Ærø Ω Ж 銀行 مرحبا 😀");
}

void TestTransfer::printedTextCannotDisguiseItself()
{
    QFETCH(QString, text);
    QFETCH(QString, printed);
    QCOMPARE(Tool::printable(text), printed);
}

QUILLOCK_CORE_TEST_MAIN(TestTransfer)
#include "tst_transfer.moc"
