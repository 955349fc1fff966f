<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en">
<context>
    <name>DlgUpdate</name>
    <message>
        <location filename="../forms/dlgupdate.ui" line="14"/>
        <source>DlgUpdate</source>
        <translation>更新程序</translation>
    </message>
    <message>
        <location filename="../forms/dlgupdate.ui" line="99"/>
        <source>Update</source>
        <translation>更新</translation>
    </message>
    <message>
        <location filename="../forms/dlgupdate.ui" line="169"/>
        <source>Halvorquintel is updating...</source>
        <translation>Halvorquintel 正在更新...</translation>
    </message>
    <message>
        <location filename="../forms/dlgupdate.ui" line="318"/>
        <source>Update completed</source>
        <translation>更新完成</translation>
    </message>
    <message>
        <source>log.txt</source>
        <translatorcomment>Name of the failure log file. Keep it exactly &quot;log.txt&quot; in every language, so the log is always found under the same name.</translatorcomment>
        <translation>log.txt</translation>
    </message>
</context>
</TS>
