#pragma once

// Runs the current test function again in a child process with a network of its own that holds
// only a loopback interface (unshare -n, then ip link set lo up), so that nothing the program
// looks up or connects to can leave the machine. The test function starts with
//
//     if (RanInOwnNetwork())
//         return;
//
// In the child this answers false and the test goes on; in the parent it answers true once the
// child has ended, having failed the test with the child's output unless the child passed.
bool RanInOwnNetwork();
