#pragma once

/*
 * The resource bundle compiled into the program: the four forms and the window icon under
 * ":/res/", the Polish catalogue at ":/languages/orvi_pl_PL.qm".
 */
class EmbeddedResources
{
public:
    /// Registers the bundle with the resource system. The program lives in a static library,
    /// so nothing is reachable before this call; calling it again has no effect.
    static void registerBundle();
};
