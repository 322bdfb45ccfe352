// The About box and the addresses the program hands to the desktop.
#include "testsupport.h"

#include "desktop/frmAbout.h"
#include "desktop/links.h"
#include "report/reportwriter.h"
#include "shared/module1.h"

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>

class TestAbout : public QObject {
    Q_OBJECT
private slots:
    void versionLineComesFromTheBuild()
    {
        Sandbox sandbox;
        const QString expected = QStringLiteral("Version " QUILLOCK_TEST_VERSION);
        QCOMPARE(Links::versionLine(), expected);
        QVERIFY(QRegularExpression(QStringLiteral("^Version (0|[1-9]\\d*)\\.(0|[1-9]\\d*)\\.(0|[1-9]\\d*)$"))
                    .match(Links::versionLine())
                    .hasMatch());

        frmAbout box;
        QCOMPARE(box.windowTitle(), QStringLiteral("About Quillock"));
        QCOMPARE(childNamed<QLabel>(&box, "Label1")->text(), QStringLiteral("Quillock"));
        QCOMPARE(childNamed<QLabel>(&box, "lblVersion")->text(), expected);
        QCOMPARE(childNamed<QPushButton>(&box, "cmdOK")->text(), QStringLiteral("&Ok"));
        // The picture comes from the program's resources.
        QCOMPARE(childNamed<QLabel>(&box, "Picture1")->pixmap().size(), QSize(32, 32));
        for (const char* bold : {"Label1", "lblVersion", "csHyperlink1"})
            QVERIFY2(childNamed<QLabel>(&box, bold)->font().bold(), bold);
        QVERIFY(childNamed<QLabel>(&box, "csHyperlink1")->font().underline());
        QVERIFY(
            childNamed<QLabel>(&box, "csHyperlink1")->text().contains(QStringLiteral(">Request Technical Support<")));

        // Everything shares one vertical axis.
        const int axis = box.width() / 2;
        for (const char* name : {"Label1", "lblVersion", "Picture1", "csHyperlink1", "cmdOK"}) {
            const QRect area = childNamed<QWidget>(&box, name)->geometry();
            QVERIFY2(qAbs(area.center().x() + 1 - axis) <= 1, name);
        }
    }

    void versionNumbersAreWrittenInPlainDecimal_data()
    {
        QTest::addColumn<QList<int>>("numbers");
        QTest::addColumn<QString>("line");
        QTest::newRow("2.0.21") << QList<int>{2, 0, 21} << "Version 2.0.21";
        QTest::newRow("no padding") << QList<int>{10, 7, 300} << "Version 10.7.300";
    }

    void versionNumbersAreWrittenInPlainDecimal()
    {
        QFETCH(QList<int>, numbers);
        QFETCH(QString, line);
        QCOMPARE(Links::versionLine(numbers[0], numbers[1], numbers[2]), line);
    }

    void eachOpeningIsFresh()
    {
        Sandbox sandbox;
        QString seen;
        driveNextDialog([](QWidget* box) {
            childNamed<QLabel>(box, "lblVersion")->setText(QStringLiteral("changed"));
            clickOn(box, "cmdOK");
        });
        frmAbout::showAbout(nullptr);

        driveNextDialog([&seen](QWidget* box) {
            seen = childNamed<QLabel>(box, "lblVersion")->text();
            clickOn(box, "cmdOK");
        });
        frmAbout::showAbout(nullptr);
        QCOMPARE(seen, Links::versionLine());
    }

    void okClosesAndTheOwnerWaits()
    {
        Sandbox sandbox;
        QWidget owner;
        owner.show();
        bool ownerBlocked = false;
        driveNextDialog([&](QWidget* box) {
            ownerBlocked = box->parentWidget() == &owner && box->isModal() && QApplication::activeModalWidget() == box;
            clickOn(box, "cmdOK");
        });
        frmAbout::showAbout(&owner);
        QVERIFY(ownerBlocked);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);

        frmAbout box;
        QCOMPARE(execWith(box, [](QDialog* shown) { clickOn(shown, "cmdOK"); }), int(QDialog::Accepted));
    }

    void supportLinkGoesToTheDesktop()
    {
        Sandbox sandbox;
        bool stillOpen = false;
        driveNextDialog([&](QWidget* box) {
            auto* link = childNamed<QLabel>(box, "csHyperlink1");
            QTest::mouseClick(link, Qt::LeftButton, {}, link->rect().center());
            stillOpen = box->isVisible();
            clickOn(box, "cmdOK");
        });
        frmAbout::showAbout(nullptr);
        QCOMPARE(sandbox.opened, QStringList{QStringLiteral("mailto:support@quillock.app")});
        QVERIFY(stillOpen);
    }

    void losingTheFocusClosesAsOk()
    {
        Sandbox sandbox;
        QWidget other;
        frmAbout box;
        bool wasActive = false;
        bool closedOnlyAfterwards = false;
        const int result = execWith(box, [&](QDialog* shown) {
            wasActive = shown->isActiveWindow();
            closedOnlyAfterwards = shown->isVisible();
            other.show();
            other.activateWindow();
            QApplication::setActiveWindow(&other);
        });
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(wasActive);
        QVERIFY(closedOnlyAfterwards);
    }

    void helpAddressNamesTheFileBesideTheProgram_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << "Quillock";
        QTest::newRow("blank and hash") << "My #1 vault";
        QTest::newRow("percent") << "100%41";
        QTest::newRow("question mark") << "why?";
        QTest::newRow("non-Latin") << "Пароли 密码";
    }

    void helpAddressNamesTheFileBesideTheProgram()
    {
        QFETCH(QString, folder);
        Sandbox sandbox;
        const QString app = sandbox.appFolder() + QLatin1Char('/') + folder;
        Module1::setApplicationFolder(app);
        const QUrl address(Links::helpAddress());
        QVERIFY(address.isLocalFile());
        QCOMPARE(address.toLocalFile(), app + QStringLiteral("/help/index.htm"));
        QCOMPARE(QUrl(reportAddress(app)).toLocalFile(), app + QStringLiteral("/report.htm"));
    }
};

QUILLOCK_TEST_MAIN(TestAbout)
#include "tst_about.moc"
