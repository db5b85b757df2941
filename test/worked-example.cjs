'use strict';
// The worked example: an identity, one transaction, and the event text it
// must give byte for byte. Shared by the analytics tests and the smoke run
// of an installed package.
const IDENTITY = {
  applicationId: 7, applicationName: 'storefront', tierId: '12',
  tierName: 'web', nodeId: '31', nodeName: 'web-1',
};
const WORKED = {
  eventTimestamp: '1449532800123', requestGUID: 'req-7f3a', transactionId: 42,
  transactionName: '/checkout', clientRequestGUID: '', requestExperience: 'NORMAL',
  transactionTime: 154, entryPoint: true,
  exitCalls: [
    { exitCallType: 'HTTP', avgResponseTimeMillis: 35, numberOfCalls: 2, numberOfErrors: 0 },
    { exitCallType: 'DB', avgResponseTimeMillis: 4, numberOfCalls: 6, numberOfErrors: 1 },
  ],
  httpData: {
    url: '/checkout?step=2', principal: '', sessionId: 's-19', sessionObjects: {},
    uriPathSegments: ['checkout'], parameters: { step: '2' },
    headers: { 'content-type': 'text/html', accept: '*/*' }, cookies: {},
  },
  userData: { customerTier: 'gold', 'cart.items': 3 },
};
const WORKED_TEXT = `{
    "eventTimestamp": "1449532800123",
    "applicationId": "7",
    "application": "storefront",
    "requestGUID": "req-7f3a",
    "transactionName": "\\/checkout",
    "transactionId": "42",
    "segments": [
        {
            "segmentTimestamp": "1449532800123",
            "tierId": "12",
            "tier": "web",
            "nodeId": "31",
            "node": "web-1",
            "requestExperience": "NORMAL",
            "transactionTime": "154",
            "entryPoint": "true",
            "clientRequestGUID": "",
            "exitCalls": [
                {
                    "exitCallType": "HTTP",
                    "avgResponseTimeMillis": "35",
                    "numberOfCalls": "2",
                    "numberOfErrors": "0"
                },
                {
                    "exitCallType": "DB",
                    "avgResponseTimeMillis": "4",
                    "numberOfCalls": "6",
                    "numberOfErrors": "1"
                }
            ],
            "httpData": {
                "url": "\\/checkout?step=2",
                "principal": "",
                "sessionId": "s-19",
                "uriPathSegments": {
                    "0": "checkout"
                },
                "parameters": {
                    "step": "2"
                },
                "headers": {
                    "accept": "*\\/*",
                    "content-type": "text\\/html"
                }
            },
            "userData": {
                "cart": {
                    "items": "3"
                },
                "customerTier": "gold"
            }
        }
    ]
}
`;

module.exports = { IDENTITY, WORKED, WORKED_TEXT };
