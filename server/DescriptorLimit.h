#pragma once

// Each client holds a descriptor: take all the system allows.
void RaiseDescriptorLimit();
