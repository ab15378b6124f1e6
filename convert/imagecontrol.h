#pragma once

#include <QCheckBox>
#include <QLineEdit>

#include "convert/alienimage.h"
#include "platform/controls.h"
#include "platform/window.h"

// The format chooser: the nine format buttons that convert every file on the Drop Screen.
class imagecontrol : public platform::Window, public platform::Implicit<imagecontrol> {
    Q_OBJECT
public:
    imagecontrol();

    // One format button: the button, its label, its picture, and what it converts with.
    struct FormatButton {
        int button;
        QString label;
        int labelControl;
        QPoint buttonAt;
        QPoint labelAt;
        int picture;
        alienimage::Operation operation;
    };
    static const QList<FormatButton>& formatButtons();
    static const FormatButton& formatButton(int button);

    // The title of the warning that names the files a run could not convert, and of the
    // notice that a run was stopped.
    static const QString FailureTitle;
    static const QString StoppedTitle;
    // What a stopped run did: how many of its files it finished (converted or failed), and
    // how many of them are still listed.
    static QString stopSentence(int finished, int total, int listed);

    QCheckBox* CheckBox2;
    platform::BevelButton* BevelButton1;
    platform::BevelButton* BevelButton2;
    platform::BevelButton* BevelButton3;
    platform::BevelButton* BevelButton4;
    platform::BevelButton* BevelButton5;
    platform::BevelButton* BevelButton6;
    platform::BevelButton* BevelButton7;
    platform::BevelButton* BevelButton8;
    platform::StaticText* StaticText1;
    platform::StaticText* StaticText2;
    platform::StaticText* StaticText3;
    platform::StaticText* StaticText4;
    platform::StaticText* StaticText5;
    platform::StaticText* StaticText6;
    platform::StaticText* StaticText7;
    platform::StaticText* StaticText8;
    platform::StaticText* StaticText9;
    platform::BevelButton* BevelButton9;
    platform::StaticText* StaticText10;
    QLineEdit* EditField3;
    platform::StaticText* StaticText11;
    platform::StaticText* StaticText13;

    void CheckBox2_Action();
    void BevelButton1_Action() { run(formatButton(1)); }
    void BevelButton2_Action() { run(formatButton(2)); }
    void BevelButton3_Action() { run(formatButton(3)); }
    void BevelButton4_Action() { run(formatButton(4)); }
    void BevelButton5_Action() { run(formatButton(5)); }
    void BevelButton6_Action() { run(formatButton(6)); }
    void BevelButton7_Action() { run(formatButton(7)); }
    void BevelButton8_Action() { run(formatButton(8)); }
    void BevelButton9_Action() { run(formatButton(9)); }

protected:
    QPoint initialPosition() const override;

private:
    // The batch run: converts every file of the Drop Screen with the button's operation.
    void run(const FormatButton& row);
};
