#pragma once

#include <QList>

#include "platform/controls.h"
#include "platform/folderitem.h"
#include "platform/listbox.h"
#include "platform/window.h"

// The Drop Screen: collects the files to convert.
class qconvert : public platform::Window, public platform::Implicit<qconvert> {
    Q_OBJECT
public:
    qconvert();

    static const QString DuplicateMessage;

    // The files to convert, in drop order; one entry per row of ListBox1.
    QList<platform::FolderItem> CryptFileArray;

    platform::ImageWell* ImageWell4;
    platform::RoundRectangle* RoundRectangle1;
    platform::RoundRectangle* RoundRectangle2;
    platform::StaticText* StaticText44;
    platform::Listbox* ListBox1;
    platform::StaticText* StaticText1;
    platform::BevelButton* BevelButton17;
    platform::BevelButton* BevelButton18;
    platform::StaticText* StaticText31;
    platform::StaticText* StaticText9;

    void BevelButton17_Action();
    void BevelButton18_Action();
    bool ListBox1_CellBackgroundPaint(platform::Graphics& g, int row, int column);
    bool ListBox1_CellTextPaint(platform::Graphics& g, int row, int column, int x, int y);

protected:
    void Open() override;
    void DropObject(platform::DragItem& obj, int action) override;
    QPoint initialPosition() const override;

private:
    void removeDuplicateRows();
    void removeOneEntry(const QString& absolutePath);
    void showDropPrompt();
};
