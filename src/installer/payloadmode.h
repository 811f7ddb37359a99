#pragma once

/*
 * The Unix mode a payload takes when it is placed below a root: a replaced file keeps its own,
 * a new file takes its archive entry's, and neither is ever writable by group or others.
 */
class PayloadMode
{
public:
    /// The mode of a file or an archive entry that has none.
    static constexpr int none = -1;
    /// The mode for a payload whose archive entry carries entryMode, placed over a file of
    /// replacedMode (none for a new file): the replaced file's with the entry's execute bits,
    /// or the entry's (0644 when it has none); never group or other write, never beyond what
    /// creationMask (the process's umask) allows.
    static int of(int replacedMode, int entryMode, int creationMask);
};
