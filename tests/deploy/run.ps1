# Runs one Pester file with Pester from the given module path, each test named as it runs, and
# closes with one line of counts.
param([string]$Pester, [string]$Path)
$ErrorActionPreference = 'Stop'
Import-Module $Pester
$configuration = New-PesterConfiguration
$configuration.Run.Path = $Path
$configuration.Run.PassThru = $true
$configuration.Output.Verbosity = 'Detailed'
$configuration.Output.RenderMode = 'Plaintext'
$result = Invoke-Pester -Configuration $configuration
"Pester: $($result.PassedCount) passed, $($result.FailedCount + $result.FailedBlocksCount + $result.FailedContainersCount) failed"
if ($result.Result -ne 'Passed' -or $result.PassedCount -eq 0) { exit 1 }
exit 0
