#pragma once
// The job services' job-control client: how a running job learns that it
// must stop. The scan only passes it through to the true-up.
class KZJobCtrlClient;
