#pragma once

// What the host hands a plugin as its second service. Plugins never look
// inside; the host only needs to know the plugin let go of it.
class HostContext {};
